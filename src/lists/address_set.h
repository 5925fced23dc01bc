// An ordered set of byte strings built for lists of a million entries: the entries lie back to
// back in one byte arena, each after its length, and the order is kept by short sorted runs of
// arena offsets (chunks), so that a lookup is a binary search, an insertion or an erasure moves
// one chunk, and the whole list costs little more than its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

class address_set {
    using offset = std::uint32_t;

public:
    // Walks the entries in order. Any change to the set invalidates every iterator.
    class const_iterator {
    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        std::string_view operator*() const { return set_->entry_at(set_->chunks_[chunk_][pos_]); }
        const_iterator& operator++() {
            if (++pos_ == set_->chunks_[chunk_].size()) {
                ++chunk_;
                pos_ = 0;
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        const_iterator& operator--() {
            if (pos_ == 0) pos_ = set_->chunks_[--chunk_].size();
            --pos_;
            return *this;
        }
        const_iterator operator--(int) {
            const_iterator before = *this;
            --*this;
            return before;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.chunk_ == b.chunk_ && a.pos_ == b.pos_ && a.set_ == b.set_;
        }

    private:
        friend class address_set;
        const_iterator(const address_set* set, std::size_t chunk, std::size_t pos)
            : set_(set), chunk_(chunk), pos_(pos) {}

        const address_set* set_ = nullptr;
        std::size_t chunk_ = 0;
        std::size_t pos_ = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;

    address_set() = default;
    address_set(std::initializer_list<std::string_view> entries);
    address_set(const address_set& other);
    address_set(address_set&& other) noexcept;
    address_set& operator=(const address_set& other);
    address_set& operator=(address_set&& other) noexcept;
    ~address_set();

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    const_iterator begin() const { return {this, 0, 0}; }
    const_iterator end() const { return {this, chunks_.size(), 0}; }

    const_iterator find(std::string_view entry) const;
    bool contains(std::string_view entry) const { return find(entry) != end(); }
    std::size_t count(std::string_view entry) const { return contains(entry) ? 1 : 0; }
    const_iterator lower_bound(std::string_view key) const;
    const_iterator upper_bound(std::string_view key) const;
    // upper_bound(key), without a search when `near` points at `key`: the way an enumeration
    // continues from the entry it gave last. `near` may come from before changes to the set, or
    // from another set; it is checked, not trusted.
    const_iterator upper_bound(std::string_view key, const_iterator near) const;

    // True when `entry` was not there before.
    bool insert(std::string_view entry);
    // The number of entries erased: 1 or 0.
    std::size_t erase(std::string_view entry);
    // Empties the set and gives its memory back.
    void clear();

    // Adds many entries at once: each entry that comes after all the others is appended without
    // a search (a file this program wrote comes in order); any other is sorted in at the end.
    // `expected_bytes`, the size of the text they come from, lets the arena grow once.
    class bulk_insert {
    public:
        bulk_insert(address_set& set, std::size_t expected_bytes);
        bulk_insert(const bulk_insert&) = delete;
        bulk_insert& operator=(const bulk_insert&) = delete;
        // Entries still unsorted when it ends without finish() are dropped.
        ~bulk_insert();
        void add(std::string_view entry);
        // Sorts in what came out of order; the set is complete from then on.
        void finish();

    private:
        address_set& set_;
        std::vector<offset> unordered_;
    };

    // The bytes the arena holds, erased entries not yet reclaimed included, and its capacity.
    std::size_t arena_bytes() const { return arena_size_; }
    std::size_t arena_capacity() const { return arena_capacity_; }
    // The number of index chunks (for tests of their splits and merges).
    std::size_t chunk_count() const { return chunks_.size(); }

    friend bool operator==(const address_set& a, const address_set& b);

private:
    // Where a key belongs: the chunk and the position in it; `found` when the entry there is it.
    struct place {
        std::size_t chunk;
        std::size_t pos;
        bool found;
    };

    // A new chunk is filled to `chunk_fill` entries; one that grows past `chunk_limit` is split
    // in two, and one that shrinks below `chunk_low` is merged with a neighbour when they fit in
    // `chunk_fill`.
    static constexpr std::size_t chunk_fill = 512;
    static constexpr std::size_t chunk_limit = 1024;
    static constexpr std::size_t chunk_low = 128;

    std::string_view entry_at(offset at) const;
    place locate(std::string_view key) const;
    const_iterator iterator_at(const place& p) const;
    // Appends `entry` (after its length) to the arena and gives its offset.
    offset append_entry(std::string_view entry);
    void reserve_arena(std::size_t bytes);
    void shrink_arena();
    bool in_arena(std::string_view text) const;
    // The arena's bytes taken by the entry at `at`, its length included.
    std::size_t stored_size(offset at) const;
    void split_chunk(std::size_t chunk) noexcept;
    void merge_small_chunk(std::size_t chunk) noexcept;
    // Copies the live entries, in order, to a new arena just big enough.
    void compact() noexcept;
    void compact_if_wasteful() noexcept;
    // Rebuilds the chunks from offsets in order.
    void rechunk(const std::vector<offset>& ordered);

    char* arena_ = nullptr;  // malloc'd: realloc can grow a large arena without copying it
    std::size_t arena_size_ = 0;
    std::size_t arena_capacity_ = 0;
    std::size_t garbage_ = 0;                  // arena bytes of erased entries
    std::vector<std::vector<offset>> chunks_;  // none empty; together, every entry in order
    std::size_t size_ = 0;
};
