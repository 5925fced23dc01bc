// An IMAP server in memory for the store's tests: folders of messages with UIDs and flags, the
// capabilities a test gives it, and connections to it that drop at a chosen command.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "store/imap_connection.h"

struct fake_server {
    struct message {
        std::uint32_t uid = 0;
        std::string bytes;
        long long date = 0;
        bool seen = false, deleted = false;
        bool operator==(const message&) const = default;
    };
    struct folder {
        std::uint32_t validity = 1, next = 1;
        std::vector<std::string> flags;
        std::vector<message> messages;
        bool operator==(const folder&) const = default;
    };
    std::map<std::string, folder> folders{{"INBOX", {}}};
    char delimiter = '/';
    std::set<std::string> capabilities{"MOVE", "UIDPLUS"};
    // Every command of every connection, in order; the connection drops instead of the command
    // numbered `drop_at` (from 1).
    std::vector<std::string> log;
    size_t drop_at = 0;
    size_t listed = 0;  // messages that the FETCHes of listings named, all in all

    folder& make(const std::string& name, std::vector<std::string> flags = {}) {
        folder& f = folders[name];
        f.flags = std::move(flags);
        if (f.messages.empty() && f.next == 1) f.validity = static_cast<std::uint32_t>(100 + folders.size());
        return f;
    }
    std::uint32_t add(const std::string& name, std::string bytes, bool seen = false, long long date = 1704067200) {
        folder& f = folders.at(name);
        f.messages.push_back({f.next, std::move(bytes), date, seen, false});
        return f.next++;
    }
    // The bytes of the messages of `name`, by UID.
    std::vector<std::string> bytes_in(const std::string& name) const {
        std::vector<std::string> all;
        for (const message& m : folders.at(name).messages) all.push_back(m.bytes);
        return all;
    }
    size_t count(const std::string& what) const {
        return static_cast<size_t>(std::count(log.begin(), log.end(), what));
    }
};

class fake_imap final : public imap_connection {
public:
    explicit fake_imap(std::shared_ptr<fake_server> server) : server_(std::move(server)) {}

    bool connected() const override { return alive_; }
    bool has(std::string_view capability) const override {
        return server_->capabilities.count(std::string(capability)) > 0;
    }
    char delimiter() override { return server_->delimiter; }
    std::vector<folder_info> list_folders() override {
        command("LIST");
        std::vector<folder_info> listed;
        for (auto& [name, f] : server_->folders) listed.push_back({name, f.flags});
        return listed;
    }
    void create_folder(const std::string& name) override {
        command("CREATE");
        if (!server_->folders.count(name)) server_->make(name);
    }
    mailbox_state select(const std::string& name, bool read_only) override {
        command(read_only ? "EXAMINE" : "SELECT");
        auto found = server_->folders.find(name);
        if (found == server_->folders.end()) throw imap_error(imap_error::refused, "no folder " + name);
        selected_ = name;
        read_only_ = read_only;
        return {found->second.validity, found->second.next, static_cast<std::uint32_t>(found->second.messages.size())};
    }
    const std::string& selected() const override { return selected_; }
    std::vector<message_info> messages(std::uint32_t first_uid, std::uint32_t last_uid) override {
        command("FETCH");
        std::vector<message_info> listed;
        for (const fake_server::message& m : here().messages)
            if (m.uid >= first_uid && (last_uid == 0 || m.uid <= last_uid))
                listed.push_back({m.uid, m.bytes.size(), m.date, m.seen, m.deleted});
        server_->listed += listed.size();
        // "n:*" names the last message when n is beyond it.
        if (last_uid == 0 && listed.empty() && !here().messages.empty()) {
            const fake_server::message& m = here().messages.back();
            listed.push_back({m.uid, m.bytes.size(), m.date, m.seen, m.deleted});
        }
        return listed;
    }
    std::optional<std::string> header(std::uint32_t uid, std::size_t limit) override {
        command("HEADER");
        fake_server::message* m = find(uid);
        if (!m) return std::nullopt;
        size_t end = m->bytes.find("\n\n");
        return m->bytes.substr(0, std::min(end == std::string::npos ? m->bytes.size() : end + 2, limit));
    }
    bool body(std::uint32_t uid, const std::function<void(std::string_view)>& sink) override {
        command("BODY");
        fake_server::message* m = find(uid);
        if (!m) return false;
        for (size_t at = 0; at < m->bytes.size(); at += 1000) sink(std::string_view(m->bytes).substr(at, 1000));
        return true;
    }
    std::optional<std::uint32_t> move(std::uint32_t uid, const std::string& to) override {
        bool by_move = has("MOVE");
        command(by_move ? "MOVE" : "COPY");
        writable();
        fake_server::message* m = find(uid);
        if (!m) return std::nullopt;
        fake_server::folder& target = server_->folders.at(to);
        target.messages.push_back(*m);
        target.messages.back().uid = target.next++;
        std::uint32_t copied = target.messages.back().uid;
        if (!by_move) expunge(uid);
        else std::erase_if(here().messages, [&](const fake_server::message& x) { return x.uid == uid; });
        return has("UIDPLUS") ? copied : 0;
    }
    void expunge(std::uint32_t uid) override {
        command("STORE");
        writable();
        if (fake_server::message* m = find(uid)) m->deleted = true;
        command("EXPUNGE");
        std::erase_if(here().messages, [&](const fake_server::message& x) { return x.uid == uid && x.deleted; });
    }
    void set_seen(std::uint32_t uid, bool seen) override {
        command("STORE");
        writable();
        if (fake_server::message* m = find(uid)) m->seen = seen;
    }
    std::uint32_t append(const std::string& folder, std::string_view bytes, bool seen) override {
        command("APPEND");
        if (!server_->folders.count(folder)) throw imap_error(imap_error::refused, "no folder " + folder);
        std::uint32_t uid = server_->add(folder, std::string(bytes), seen);
        return has("UIDPLUS") ? uid : 0;
    }
    bool idle(int, int) override { return false; }
    void noop() override { command("NOOP"); }
    void logout() override { alive_ = false; }

private:
    void command(const char* name) {
        if (!alive_) throw imap_error(imap_error::dropped, "the connection is closed");
        server_->log.push_back(name);
        if (server_->log.size() == server_->drop_at) {
            alive_ = false;
            throw imap_error(imap_error::dropped, std::string("dropped at ") + name);
        }
    }
    void writable() const {
        if (read_only_) throw imap_error(imap_error::refused, "the folder is selected read-only");
    }
    fake_server::folder& here() { return server_->folders.at(selected_); }
    fake_server::message* find(std::uint32_t uid) {
        for (fake_server::message& m : here().messages)
            if (m.uid == uid) return &m;
        return nullptr;
    }

    std::shared_ptr<fake_server> server_;
    std::string selected_;
    bool read_only_ = false;
    bool alive_ = true;
};
