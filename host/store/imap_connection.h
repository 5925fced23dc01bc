// One authenticated connection to an IMAP server: the few commands the mail store needs, whatever
// client library speaks them. Everything the server says is hostile input; every read has a
// timeout. A failure throws imap_error; after a `refused` (a NO or BAD to one command) the
// connection goes on, after any other it is unusable (connected() false).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "store/mail_url.h"

class imap_error : public std::runtime_error {
public:
    enum kind {
        unreachable,  // no connection (refused, unreachable, name unknown)
        tls,          // TLS failed or the certificate is not trusted; STARTTLS missing
        login,        // the server refused the user name or password
        refused,      // the server answered NO or BAD to a command
        dropped,      // the connection broke or a read timed out
        protocol,     // the server said something that is not IMAP, or too much
    };
    imap_error(kind what, const std::string& message) : std::runtime_error(message), what_(what) {}
    kind code() const noexcept { return what_; }  // what() is the message

private:
    kind what_;
};

struct imap_options {
    std::string ca_file;       // PEM authorities to trust instead of the system's; "" for those
    int timeout_seconds = 60;  // every read and write
    bool use_move = true;      // false: COPY + STORE + EXPUNGE even where MOVE is offered (tests)
};

class imap_connection {
public:
    virtual ~imap_connection() = default;

    virtual bool connected() const = 0;
    // True when the server announced `capability` ("MOVE", "UIDPLUS", "IDLE", "SPECIAL-USE").
    virtual bool has(std::string_view capability) const = 0;
    // The server's hierarchy delimiter ('/' or '.'); 0 for a flat server.
    virtual char delimiter() = 0;

    struct folder_info {
        std::string name;                // as the server names it (modified UTF-7 left as is)
        std::vector<std::string> flags;  // "\\Noselect", "\\Junk", "\\Sent", "\\Trash", "\\Drafts"...
    };
    // LIST "" "*", with the SPECIAL-USE attributes when the server has them.
    virtual std::vector<folder_info> list_folders() = 0;
    // CREATE; an existing folder is fine.
    virtual void create_folder(const std::string& name) = 0;

    struct mailbox_state {
        std::uint32_t uidvalidity = 0;
        std::uint32_t uidnext = 0;
        std::uint32_t exists = 0;
    };
    // SELECT (EXAMINE with `read_only`) `name`; kept selected until another select.
    virtual mailbox_state select(const std::string& name, bool read_only) = 0;
    virtual const std::string& selected() const = 0;

    struct message_info {
        std::uint32_t uid = 0;
        std::uint64_t size = 0;       // RFC822.SIZE
        long long internal_date = 0;  // seconds since 1970
        bool seen = false;
        bool deleted = false;
    };
    // UID FETCH first:last (UID FLAGS RFC822.SIZE INTERNALDATE) in the selected folder, by UID;
    // `last_uid` 0 for the end (*). One message is asked for as first:first, not its folder's rest.
    virtual std::vector<message_info> messages(std::uint32_t first_uid = 1, std::uint32_t last_uid = 0) = 0;
    // BODY.PEEK[HEADER] of `uid`, at most `limit` bytes kept; none when it is gone.
    virtual std::optional<std::string> header(std::uint32_t uid, std::size_t limit) = 0;
    // BODY.PEEK[] of `uid`, handed to `sink` piece by piece as it arrives (never held whole
    // here); false when it is gone. The \Seen flag is not set.
    virtual bool body(std::uint32_t uid, const std::function<void(std::string_view)>& sink) = 0;
    // Moves `uid` of the selected folder to `to`: UID MOVE, else UID COPY + UID STORE +\Deleted +
    // UID EXPUNGE of that one UID (UIDPLUS), never a plain EXPUNGE: a server with neither is refused
    // (imap_error::refused) before anything is sent. Its UID there when the server tells it
    // (COPYUID), else 0. None when `uid` is gone.
    virtual std::optional<std::uint32_t> move(std::uint32_t uid, const std::string& to) = 0;
    // UID STORE +FLAGS.SILENT (\Deleted) + UID EXPUNGE of that one UID (UIDPLUS), never a plain
    // EXPUNGE: finishes a move by COPY that a dropped connection cut off after the copy.
    virtual void expunge(std::uint32_t uid) = 0;
    // UID STORE +FLAGS/-FLAGS (\Seen).
    virtual void set_seen(std::uint32_t uid, bool seen) = 0;
    // APPEND to `folder` (not the selected one necessarily), flags \Seen when `seen`; its UID when
    // the server tells it (APPENDUID), else 0.
    virtual std::uint32_t append(const std::string& folder, std::string_view bytes, bool seen) = 0;
    // IDLE on the selected folder until the server tells of a change (EXISTS, EXPUNGE, FETCH),
    // `seconds` pass, or `wake_fd` (-1: none) becomes readable; then DONE. True when the server
    // told of a change. Without the IDLE capability: waits, then NOOP, true when something changed.
    virtual bool idle(int seconds, int wake_fd) = 0;
    // NOOP: keeps the connection, takes what the server says unasked.
    virtual void noop() = 0;
    // LOGOUT, quietly; the connection is closed either way.
    virtual void logout() = 0;
};

// Connects to `url` (imap), with TLS as it says, checks the certificate (tls_check.h), logs in
// as its user with `password`. Throws imap_error.
std::unique_ptr<imap_connection> open_imap_connection(const mail_url& url, const std::string& password,
                                                      const imap_options& options);
