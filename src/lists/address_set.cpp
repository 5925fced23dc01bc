#include "lists/address_set.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

address_set::address_set(std::initializer_list<std::string_view> entries) {
    for (std::string_view entry : entries) insert(entry);
}

address_set::address_set(const address_set& other)
    : garbage_(other.garbage_), chunks_(other.chunks_), size_(other.size_) {
    if (other.arena_size_ == 0) return;
    arena_ = static_cast<char*>(std::malloc(other.arena_size_));
    if (!arena_) throw std::bad_alloc();
    std::memcpy(arena_, other.arena_, other.arena_size_);
    arena_size_ = arena_capacity_ = other.arena_size_;
}

address_set::address_set(address_set&& other) noexcept
    : arena_(std::exchange(other.arena_, nullptr)),
      arena_size_(std::exchange(other.arena_size_, 0)),
      arena_capacity_(std::exchange(other.arena_capacity_, 0)),
      garbage_(std::exchange(other.garbage_, 0)),
      chunks_(std::move(other.chunks_)),
      size_(std::exchange(other.size_, 0)) {
    other.chunks_.clear();
}

address_set& address_set::operator=(const address_set& other) {
    if (this != &other) *this = address_set(other);
    return *this;
}

address_set& address_set::operator=(address_set&& other) noexcept {
    if (this == &other) return *this;
    std::free(arena_);
    arena_ = std::exchange(other.arena_, nullptr);
    arena_size_ = std::exchange(other.arena_size_, 0);
    arena_capacity_ = std::exchange(other.arena_capacity_, 0);
    garbage_ = std::exchange(other.garbage_, 0);
    chunks_ = std::move(other.chunks_);
    other.chunks_.clear();
    size_ = std::exchange(other.size_, 0);
    return *this;
}

address_set::~address_set() { std::free(arena_); }

std::string_view address_set::entry_at(offset at) const {
    // The length comes first, seven bits a byte, low bits first; the top bit says another
    // byte follows. Entries shorter than 128 bytes take one.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(arena_) + at;
    std::size_t length = 0;
    unsigned shift = 0;
    unsigned char byte = 0;
    do {
        byte = *p++;
        length |= static_cast<std::size_t>(byte & 0x7f) << shift;
        shift += 7;
    } while (byte & 0x80);
    return {reinterpret_cast<const char*>(p), length};
}

std::size_t address_set::stored_size(offset at) const {
    std::string_view entry = entry_at(at);
    return static_cast<std::size_t>(entry.data() - (arena_ + at)) + entry.size();
}

address_set::place address_set::locate(std::string_view key) const {
    // The chunk is the first whose last entry is not before the key; the place, the first
    // entry in it that is not before the key.
    std::size_t low = 0;
    std::size_t high = chunks_.size();
    while (low < high) {
        std::size_t middle = low + (high - low) / 2;
        if (entry_at(chunks_[middle].back()) < key) low = middle + 1;
        else high = middle;
    }
    if (low == chunks_.size()) return {low, 0, false};
    const std::vector<offset>& chunk = chunks_[low];
    std::size_t first = 0;
    std::size_t last = chunk.size();
    while (first < last) {
        std::size_t middle = first + (last - first) / 2;
        if (entry_at(chunk[middle]) < key) first = middle + 1;
        else last = middle;
    }
    return {low, first, entry_at(chunk[first]) == key};
}

address_set::const_iterator address_set::iterator_at(const place& p) const {
    if (p.chunk == chunks_.size()) return end();
    return {this, p.chunk, p.pos};
}

address_set::const_iterator address_set::find(std::string_view entry) const {
    place p = locate(entry);
    return p.found ? iterator_at(p) : end();
}

address_set::const_iterator address_set::lower_bound(std::string_view key) const { return iterator_at(locate(key)); }

address_set::const_iterator address_set::upper_bound(std::string_view key) const {
    place p = locate(key);
    const_iterator it = iterator_at(p);
    if (p.found) ++it;
    return it;
}

address_set::const_iterator address_set::upper_bound(std::string_view key, const_iterator near) const {
    // The entries are unique and in order: where `key` stands, the next entry follows it.
    if (near.set_ == this && near.chunk_ < chunks_.size() && near.pos_ < chunks_[near.chunk_].size() && *near == key)
        return ++near;
    return upper_bound(key);
}

bool address_set::in_arena(std::string_view text) const {
    if (text.empty() || arena_ == nullptr) return false;
    return !std::less<const char*>()(text.data(), arena_) &&
           std::less<const char*>()(text.data(), arena_ + arena_size_);
}

void address_set::reserve_arena(std::size_t bytes) {
    if (bytes <= arena_capacity_) return;
    // realloc, not new and copy: a large block can then grow where it lies.
    char* grown = static_cast<char*>(std::realloc(arena_, bytes));
    if (!grown) throw std::bad_alloc();
    arena_ = grown;
    arena_capacity_ = bytes;
}

void address_set::shrink_arena() {
    std::size_t spare = arena_capacity_ - arena_size_;
    if (arena_size_ == 0 || spare < 65536 || spare < arena_size_ / 16) return;
    if (char* shrunk = static_cast<char*>(std::realloc(arena_, arena_size_))) {
        arena_ = shrunk;
        arena_capacity_ = arena_size_;
    }
}

address_set::offset address_set::append_entry(std::string_view entry) {
    unsigned char length[10];
    std::size_t length_bytes = 0;
    std::size_t rest = entry.size();
    do {
        unsigned char byte = rest & 0x7f;
        rest >>= 7;
        if (rest) byte |= 0x80;
        length[length_bytes++] = byte;
    } while (rest);
    // Offsets are 32 bits wide: 4 GB of entries is far beyond any list this program keeps.
    if (arena_size_ > std::numeric_limits<offset>::max() ||
        entry.size() > std::numeric_limits<std::size_t>::max() / 2 - arena_size_)
        throw std::length_error("address_set: the entries exceed 4 GB");
    std::size_t needed = arena_size_ + length_bytes + entry.size();
    if (needed > arena_capacity_)
        reserve_arena(std::max({needed, arena_capacity_ + arena_capacity_ / 2, std::size_t{64}}));
    const offset at = static_cast<offset>(arena_size_);
    std::memcpy(arena_ + arena_size_, length, length_bytes);
    if (!entry.empty()) std::memcpy(arena_ + arena_size_ + length_bytes, entry.data(), entry.size());
    arena_size_ = needed;
    return at;
}

bool address_set::insert(std::string_view entry) {
    if (in_arena(entry)) return insert(std::string(entry));  // the arena may move while appending
    place p = locate(entry);
    if (p.found) return false;
    const offset at = append_entry(entry);
    try {
        if (chunks_.empty()) {
            std::vector<offset> first;
            first.reserve(chunk_fill);
            first.push_back(at);
            chunks_.push_back(std::move(first));
        } else {
            if (p.chunk == chunks_.size()) {
                p.chunk = chunks_.size() - 1;
                p.pos = chunks_.back().size();
            }
            std::vector<offset>& chunk = chunks_[p.chunk];
            chunk.insert(chunk.begin() + static_cast<std::ptrdiff_t>(p.pos), at);
        }
    } catch (...) {
        garbage_ += stored_size(at);
        throw;
    }
    ++size_;
    if (chunks_[p.chunk].size() > chunk_limit) split_chunk(p.chunk);
    return true;
}

void address_set::split_chunk(std::size_t chunk) noexcept {
    // An oversized chunk is still in order: when memory runs short, it just stays whole.
    try {
        const std::size_t keep = chunks_[chunk].size() / 2;
        std::vector<offset> upper;
        upper.reserve(chunk_fill);
        upper.assign(chunks_[chunk].begin() + static_cast<std::ptrdiff_t>(keep), chunks_[chunk].end());
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
        std::vector<offset>& lower = chunks_[chunk];
        lower.erase(lower.begin() + static_cast<std::ptrdiff_t>(keep), lower.end());
    } catch (...) {
    }
}

std::size_t address_set::erase(std::string_view entry) {
    place p = locate(entry);
    if (!p.found) return 0;
    std::vector<offset>& chunk = chunks_[p.chunk];
    garbage_ += stored_size(chunk[p.pos]);
    chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(p.pos));
    --size_;
    if (size_ == 0) {
        clear();
        return 1;
    }
    if (chunk.empty()) chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(p.chunk));
    else if (chunk.size() < chunk_low) merge_small_chunk(p.chunk);
    compact_if_wasteful();
    return 1;
}

void address_set::merge_small_chunk(std::size_t chunk) noexcept {
    // Merged into the neighbour that leaves room, so that erasures do not leave a trail of
    // near-empty chunks; when memory runs short they stay apart, which is still in order.
    try {
        std::size_t into = chunk;
        std::size_t from = chunk + 1;
        if (from >= chunks_.size() || chunks_[into].size() + chunks_[from].size() > chunk_fill) {
            if (chunk == 0 || chunks_[chunk - 1].size() + chunks_[chunk].size() > chunk_fill) return;
            into = chunk - 1;
            from = chunk;
        }
        chunks_[into].insert(chunks_[into].end(), chunks_[from].begin(), chunks_[from].end());
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(from));
    } catch (...) {
    }
}

void address_set::compact_if_wasteful() noexcept {
    if (garbage_ > arena_size_ - garbage_) compact();
}

void address_set::compact() noexcept {
    std::size_t live = 0;
    for (const std::vector<offset>& chunk : chunks_)
        for (offset at : chunk) live += stored_size(at);
    char* fresh = static_cast<char*>(std::malloc(live ? live : 1));
    if (!fresh) return;  // the garbage stays until memory allows
    std::size_t used = 0;
    // In order, so that neighbours in the order are neighbours in memory.
    for (std::vector<offset>& chunk : chunks_) {
        for (offset& at : chunk) {
            const std::size_t bytes = stored_size(at);
            std::memcpy(fresh + used, arena_ + at, bytes);
            at = static_cast<offset>(used);
            used += bytes;
        }
    }
    std::free(arena_);
    arena_ = fresh;
    arena_size_ = used;
    arena_capacity_ = live ? live : 1;
    garbage_ = 0;
}

void address_set::clear() {
    std::free(arena_);
    arena_ = nullptr;
    arena_size_ = arena_capacity_ = garbage_ = 0;
    std::vector<std::vector<offset>>().swap(chunks_);
    size_ = 0;
}

void address_set::rechunk(const std::vector<offset>& ordered) {
    std::vector<std::vector<offset>> chunks;
    chunks.reserve((ordered.size() + chunk_fill - 1) / chunk_fill);
    for (std::size_t i = 0; i < ordered.size(); i += chunk_fill) {
        const auto first = ordered.begin() + static_cast<std::ptrdiff_t>(i);
        const auto last = ordered.begin() + static_cast<std::ptrdiff_t>(std::min(i + chunk_fill, ordered.size()));
        chunks.emplace_back(first, last);
    }
    chunks_ = std::move(chunks);
    size_ = ordered.size();
}

bool operator==(const address_set& a, const address_set& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// --- Bulk insertion ------------------------------------------------------------------------------

address_set::bulk_insert::bulk_insert(address_set& set, std::size_t expected_bytes) : set_(set) {
    // Each entry takes its bytes and a length byte, while the text spends at least one byte
    // between entries; longer lengths take a byte more per 127 bytes.
    set_.reserve_arena(set_.arena_size_ + expected_bytes + expected_bytes / 64 + 16);
}

address_set::bulk_insert::~bulk_insert() {
    for (offset at : unordered_) set_.garbage_ += set_.stored_size(at);
}

void address_set::bulk_insert::add(std::string_view entry) {
    if (set_.in_arena(entry)) {
        add(std::string(entry));
        return;
    }
    if (!set_.chunks_.empty()) {
        const int order = entry.compare(set_.entry_at(set_.chunks_.back().back()));
        if (order == 0) return;
        if (order < 0) {
            const offset at = set_.append_entry(entry);
            try {
                unordered_.push_back(at);
            } catch (...) {
                set_.garbage_ += set_.stored_size(at);
                throw;
            }
            return;
        }
    }
    const offset at = set_.append_entry(entry);
    try {
        if (set_.chunks_.empty() || set_.chunks_.back().size() >= chunk_fill) {
            std::vector<offset> chunk;
            chunk.reserve(chunk_fill);
            chunk.push_back(at);
            set_.chunks_.push_back(std::move(chunk));
        } else {
            set_.chunks_.back().push_back(at);
        }
    } catch (...) {
        set_.garbage_ += set_.stored_size(at);
        throw;
    }
    ++set_.size_;
}

void address_set::bulk_insert::finish() {
    if (!unordered_.empty()) {
        const auto before = [this](offset a, offset b) { return set_.entry_at(a) < set_.entry_at(b); };
        std::sort(unordered_.begin(), unordered_.end(), before);
        // A merge of the entries in place and those sorted now, each kept once.
        std::vector<offset> merged;
        merged.reserve(set_.size_ + unordered_.size());
        std::size_t dropped = 0;
        auto keep = [&](offset at) {
            if (!merged.empty() && set_.entry_at(merged.back()) == set_.entry_at(at)) dropped += set_.stored_size(at);
            else merged.push_back(at);
        };
        auto next = unordered_.begin();
        for (const std::vector<offset>& chunk : set_.chunks_) {
            for (offset at : chunk) {
                while (next != unordered_.end() && before(*next, at)) keep(*next++);
                keep(at);
            }
        }
        while (next != unordered_.end()) keep(*next++);
        set_.rechunk(merged);
        unordered_.clear();
        set_.garbage_ += dropped;
        set_.compact_if_wasteful();
    }
    set_.shrink_arena();
}
