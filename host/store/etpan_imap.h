// The IMAP connection over libetpan's mailimap, private to the store: imap_connection.cpp connects,
// logs in, idles and maps the library's errors; imap_commands.cpp has the mailbox commands.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <libetpan/libetpan.h>

#include "store/imap_connection.h"

class etpan_imap final : public imap_connection {
public:
    etpan_imap(const mail_url& url, const imap_options& options);
    ~etpan_imap() override;
    etpan_imap(const etpan_imap&) = delete;
    etpan_imap& operator=(const etpan_imap&) = delete;

    void open(const std::string& password);

    bool connected() const override { return session_ != nullptr && !broken_; }
    bool has(std::string_view capability) const override;
    char delimiter() override;
    std::vector<folder_info> list_folders() override;
    void create_folder(const std::string& name) override;
    mailbox_state select(const std::string& name, bool read_only) override;
    const std::string& selected() const override { return selected_; }
    std::vector<message_info> messages(std::uint32_t first_uid, std::uint32_t last_uid) override;
    std::optional<std::string> header(std::uint32_t uid, std::size_t limit) override;
    bool body(std::uint32_t uid, const std::function<void(std::string_view)>& sink) override;
    std::optional<std::uint32_t> move(std::uint32_t uid, const std::string& to) override;
    void expunge(std::uint32_t uid) override;
    void set_seen(std::uint32_t uid, bool seen) override;
    std::uint32_t append(const std::string& folder, std::string_view bytes, bool seen) override;
    bool idle(int seconds, int wake_fd) override;
    void noop() override;
    void logout() override;

private:
    // Throws the imap_error that `code`, the answer to `what`, means; the connection stays usable
    // only after a plain NO or BAD.
    void check(int code, const std::string& what);
    void usable(const std::string& what) const;
    void close();
    void read_capabilities();
    bool fetch_section(std::uint32_t uid, mailimap_section* section, std::function<void(std::string_view)> sink);
    static void count_received(mailimap* session, int log_type, const char* bytes, std::size_t size, void* self);
    static bool take_body(int type, mailimap_msg_att_body_section* section, const char* bytes, std::size_t size,
                          void* self);
    std::string server_said() const;

    mail_url url_;
    imap_options options_;
    mailimap* session_ = nullptr;
    bool broken_ = false;
    std::vector<std::string> capabilities_;  // upper case
    std::string selected_;
    char delimiter_ = 0;
    bool delimiter_known_ = false;

    // What the server may send that is held in memory (lines, small literals) is bounded: bytes
    // received and not handed to a body sink count against it, and past it the socket is shut.
    std::uint64_t held_ = 0;
    bool too_much_ = false;
    std::function<void(std::string_view)> body_sink_;
    std::exception_ptr sink_failure_;
};
