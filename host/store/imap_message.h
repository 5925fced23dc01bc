// A message of the IMAP store: its folder and id, found again through the store. An arrival keeps
// the read state it is given until it leaves the arrivals (by its move, or leave_arrivals), so
// that it leaves them by one step, as in a Maildir. Private to the store.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "store/imap_store.h"

class imap_message final : public message_handle {
public:
    // `bytes`, when given, is the whole message, read once; `header` its header block alone (an
    // arrival too large to be held).
    imap_message(std::shared_ptr<imap_store> store, std::string folder, imap_store::entry listed, bool arrival = false,
                 std::optional<std::string> bytes = std::nullopt, std::optional<std::string> header = std::nullopt);

    const std::string& id() const override { return listed_.id; }
    const std::string& folder() const override { return folder_; }
    const std::string& name() const override { return listed_.id; }
    std::string place() const override;
    timespec arrival() const override { return timespec{listed_.date, 0}; }
    bool locate() override;
    bool seen() const override { return wanted_seen_.value_or(listed_.seen); }
    store_result set_seen(bool seen) override;
    store_result move_to(const std::string& folder) override;
    bool move_failed() const override { return move_failed_; }
    bool leave_arrivals() override;
    const header_summary* headers() override;
    std::shared_ptr<const header_summary> headers_read() const override { return headers_; }
    std::optional<std::uint64_t> size() override;
    std::optional<message_content> read_content() override;
    bool starts_with_header_field() override;

private:
    std::shared_ptr<imap_store> store_;
    std::string folder_;
    imap_store::entry listed_;
    bool arrival_ = false;
    bool move_failed_ = false;
    std::optional<bool> wanted_seen_;  // the read state the arrival leaves the arrivals with
    std::optional<std::string> bytes_, header_;
    std::shared_ptr<const header_summary> headers_;
};
