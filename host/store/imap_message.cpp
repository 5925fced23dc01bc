#include "store/imap_message.h"

#include "store/maildir.h"

imap_message::imap_message(std::shared_ptr<imap_store> store, std::string folder, imap_store::entry listed,
                           bool arrival, std::optional<std::string> bytes, std::optional<std::string> header)
    : store_(std::move(store)),
      folder_(std::move(folder)),
      listed_(std::move(listed)),
      arrival_(arrival),
      bytes_(std::move(bytes)),
      header_(std::move(header)) {}

std::string imap_message::place() const {
    std::size_t dot = listed_.id.find('.');
    return "UID " + (dot == std::string::npos ? listed_.id : listed_.id.substr(dot + 1));
}

bool imap_message::locate() {
    try {
        std::optional<imap_store::entry> found = store_->find(folder_, listed_.id);
        if (!found) return false;
        listed_ = std::move(*found);
        return true;
    } catch (const imap_error& error) {
        store_->failure(error);
        return false;
    }
}

store_result imap_message::set_seen(bool want_seen) {
    if (!locate()) return {store_result::gone};
    if (seen() == want_seen) return {};
    // Marked read in INBOX it would be no arrival any more: the mark waits for it to leave them.
    if (arrival_ && folder_.empty()) {
        wanted_seen_ = want_seen;
        return {};
    }
    try {
        store_result result = store_->set_seen(folder_, listed_.id, want_seen);
        if (result.ok()) listed_.seen = want_seen;
        return result;
    } catch (const imap_error& error) {
        return store_->failure(error);
    }
}

store_result imap_message::move_to(const std::string& folder) {
    if (folder == folder_) return locate() ? store_result{} : store_result{store_result::gone};
    std::string moved_id;
    store_result result = store_->move(folder_, listed_.id, folder, moved_id);
    if (result.what == store_result::failed) move_failed_ = true;
    if (!result.ok()) return result;
    folder_ = folder;
    listed_.id = moved_id;
    // The read state given meanwhile goes with it; a failure to set it loses no mail.
    if (wanted_seen_ && *wanted_seen_ != listed_.seen && !moved_id.empty()) {
        try {
            if (store_->set_seen(folder_, listed_.id, *wanted_seen_).ok()) listed_.seen = *wanted_seen_;
        } catch (const imap_error& error) {
            store_->failure(error);
        }
    }
    wanted_seen_.reset();
    return result;
}

bool imap_message::leave_arrivals() {
    if (!folder_.empty() || !wanted_seen_) return true;
    if (*wanted_seen_ == listed_.seen) return true;
    try {
        store_result result = store_->set_seen(folder_, listed_.id, *wanted_seen_);
        if (result.ok()) listed_.seen = *wanted_seen_;
        if (result.what != store_result::failed) wanted_seen_.reset();
        return result.what != store_result::failed;
    } catch (const imap_error& error) {
        store_->failure(error);
        return false;
    }
}

const header_summary* imap_message::headers() {
    if (headers_) return headers_.get();
    std::optional<std::string> block;
    if (bytes_) block = maildir::header_block_of(*bytes_);
    else if (header_) block = header_;
    else {
        try {
            block = store_->read_header(folder_, listed_.id, 1 << 20);
        } catch (const imap_error& error) {
            store_->failure(error);
        }
    }
    if (!block) return nullptr;
    headers_ = std::make_shared<const header_summary>(parse_headers(*block));
    return headers_.get();
}

std::optional<std::uint64_t> imap_message::size() {
    if (bytes_) return bytes_->size();
    return listed_.size;
}

std::optional<message_content> imap_message::read_content() {
    if (bytes_) return parse_content(*bytes_);
    // Read here once, for this question only: a large message is not kept.
    std::string bytes;
    try {
        if (!store_->read_body(folder_, listed_.id, [&](std::string_view piece) { bytes.append(piece); }))
            return std::nullopt;
    } catch (const imap_error& error) {
        store_->failure(error);
        return std::nullopt;
    }
    return parse_content(bytes);
}

bool imap_message::starts_with_header_field() {
    if (bytes_) return maildir::starts_with_header_field(std::string_view(*bytes_).substr(0, 1024));
    if (!header_) {
        try {
            header_ = store_->read_header(folder_, listed_.id, 1 << 20);
        } catch (const imap_error& error) {
            store_->failure(error);
        }
    }
    return header_ && maildir::starts_with_header_field(std::string_view(*header_).substr(0, 1024));
}
