// `tarnwick watch --imap` and `run --imap` against a real Dovecot that drops connections and dies:
// arrivals filtered within seconds of their APPEND, the data folder free while the watch waits, a
// reconnect after a crash, and no message lost, doubled or challenged twice when the server is
// killed in the middle of a run.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "program_story.h"
#include "servers/dovecot_server.h"
#include "store/imap_connection.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// `text` with CRLF line ends, as IMAP carries mail.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// The address or Message-ID of the header line `name` ("Message-ID: "), without its <>; "" when
// none.
std::string header_value(const std::string& text, const std::string& name) {
    size_t at = text.find("\n" + name);
    if (at == std::string::npos) return "";
    at += name.size() + 1;
    std::string value = text.substr(at, text.find_first_of("\r\n", at) - at);
    size_t open = value.find('<'), close = value.find('>');
    return open < close && close != std::string::npos ? value.substr(open + 1, close - open - 1) : value;
}

class imap_watch_test : public program_story {
protected:
    void serve(dovecot_options options = {}) { server = std::make_unique<dovecot_server>(options); }
    std::vector<std::string> account(std::vector<std::string> args) const {
        for (std::string more : {"--imap", "", "--password-command", "echo ann-secret"})
            args.push_back(more.empty() ? "imap://ann@127.0.0.1:" + std::to_string(server->port()) : more);
        return args;
    }
    // Another client of the same account, as the user's mail program or the delivery.
    std::unique_ptr<imap_connection> client() const {
        mail_url url;
        url.tls = mail_url::starttls;
        url.host = "127.0.0.1";
        url.port = server->port();
        url.user = dovecot_server::user;
        imap_options options;
        options.timeout_seconds = 5;
        return open_imap_connection(url, dovecot_server::password, options);
    }
    void deliver(imap_connection& imap, const std::string& from, const std::string& id) {
        imap.append("INBOX", crlf(unknown_sender(from, id)), false);
    }
    // The folders of the account on disk, by Message-ID ("INBOX", "Pending"...), every folder
    // counted; the challenges of Outbox by their recipient instead.
    std::map<std::string, std::vector<std::string>> places(std::map<std::string, int>* challenged = nullptr) const {
        std::map<std::string, std::vector<std::string>> found;
        const std::string root = server->maildir();
        std::vector<std::pair<std::string, std::string>> folders{{"INBOX", root}};
        for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
            std::string name = entry.path().filename().string();
            if (entry.is_directory() && name.size() > 1 && name[0] == '.')
                folders.emplace_back(name.substr(1), entry.path().string());
        }
        for (const auto& [folder, path] : folders) {
            for (const char* sub : {"/new", "/cur"}) {
                if (!fs::exists(path + sub)) continue;
                for (const fs::directory_entry& file : fs::directory_iterator(path + sub)) {
                    std::string text = read_text_file(file.path().string());
                    if (folder == "Outbox" && challenged != nullptr) ++(*challenged)[header_value(text, "To: ")];
                    else if (folder != "Outbox") found[header_value(text, "Message-ID: ")].push_back(folder);
                }
            }
        }
        return found;
    }
    bool in(const std::string& id, const std::string& folder) const {
        auto found = places();
        return found.count(id) && found[id] == std::vector<std::string>{folder};
    }

    std::unique_ptr<dovecot_server> server;
};

TEST_F(imap_watch_test, watch_filters_arrivals_by_idle_and_reconnects_after_a_crash) {
    // Dovecot's "still here" every second in IDLE must neither wake the watch for good nor drop it.
    serve({.idle_notify_seconds = 1});
    configure();
    running_program watching = start(tree.base(), with_data(account({"watch"})));
    ASSERT_TRUE(eventually([&] { return fs::exists(server->maildir() + "/.Pending"); })) << server->log();
    // The data folder is free while the watch waits: another command needs no --wait.
    ASSERT_TRUE(eventually([&] { return tarnwick({"list", "add", "authorized", "friend@example.org"}).code == 0; }));
    std::this_thread::sleep_for(seconds(3));

    auto imap = client();
    deliver(*imap, "friend@example.org", "f1@x");
    auto appended = steady_clock::now();
    deliver(*imap, "s1@example.net", "s1@x");
    ASSERT_TRUE(eventually([&] { return in("s1@x", "Pending"); })) << read_text_file(watching.err_path);
    EXPECT_LT(steady_clock::now() - appended, seconds(5));
    EXPECT_TRUE(in("f1@x", "INBOX"));

    // Killed under the watch's IDLE (the batch is over once the data folder is free) and back on
    // the same port: the watch connects again.
    ASSERT_TRUE(eventually([&] { return tarnwick({"list", "show", "pending"}).out == "s1@example.net\n"; }));
    imap.reset();
    server->stop(true);
    server->start();
    imap = client();
    deliver(*imap, "s2@example.net", "s2@x");
    EXPECT_TRUE(eventually([&] { return in("s2@x", "Pending"); })) << read_text_file(watching.err_path);

    // Another client deletes a message under the watch (EXPUNGE), then two arrive (EXISTS).
    imap->select("INBOX", false);
    for (const imap_connection::message_info& message : imap->messages()) imap->expunge(message.uid);
    deliver(*imap, "s3@example.net", "s3@x");
    deliver(*imap, "friend@example.org", "f2@x");
    EXPECT_TRUE(eventually([&] { return in("s3@x", "Pending"); })) << read_text_file(watching.err_path);
    EXPECT_TRUE(in("f2@x", "INBOX"));
    EXPECT_FALSE(places().count("f1@x"));

    std::map<std::string, int> challenged;
    places(&challenged);
    EXPECT_EQ(challenged,
              (std::map<std::string, int>{{"s1@example.net", 1}, {"s2@example.net", 1}, {"s3@example.net", 1}}));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_EQ(stopped.code, 0) << stopped.err;
    EXPECT_NE(stopped.err.find("connecting again"), std::string::npos) << stopped.err;
    EXPECT_NE(stopped.out.find("5 messages filtered"), std::string::npos) << stopped.out << stopped.err;
}

// A server that lacks MOVE, for the copy and expunge path.
const char* const without_move =
    "IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE UNSELECT CHILDREN NAMESPACE UIDPLUS LIST-EXTENDED "
    "I18NLEVEL=1 CONDSTORE ESEARCH LIST-STATUS LITERAL+ SPECIAL-USE";

TEST_F(imap_watch_test, a_server_killed_in_the_middle_of_a_run_loses_and_doubles_nothing) {
    for (const char* capabilities : {"", without_move}) {
        SCOPED_TRACE(*capabilities ? "copy and expunge" : "move");
        serve({.capabilities = capabilities});
        fs::remove_all(data());
        start_filter_record(data());
        configure();
        ASSERT_EQ(tarnwick(account({"run"})).code, 0) << "the first run over the empty inbox";
        const int count = 200;
        {
            auto imap = client();
            ASSERT_EQ(imap->has("MOVE"), !*capabilities);
            for (int i = 0; i < count; ++i)
                deliver(*imap, "s" + std::to_string(i) + "@example.net", "m" + std::to_string(i) + "@x");
        }
        // Killed when a fifth, then half, then four fifths of them have been parked.
        for (int parked : {count / 5, count / 2, count * 4 / 5}) {
            running_program running = start(tree.base(), with_data(account({"run"})));
            const auto until = steady_clock::now() + seconds(60);
            while (steady_clock::now() < until) {
                size_t now = 0;
                for (const auto& [id, folders] : places()) now += folders == std::vector<std::string>{"Pending"};
                if (now >= static_cast<size_t>(parked)) break;
                std::this_thread::sleep_for(milliseconds(5));
            }
            // On a loaded machine the run may end before the kill comes: what follows holds either way.
            server->stop(true);
            running.wait();
            server->start();
        }
        outcome last = tarnwick(account({"run"}));
        EXPECT_EQ(last.code, 0) << last.err;

        std::map<std::string, int> challenged;
        std::map<std::string, std::vector<std::string>> found = places(&challenged);
        EXPECT_EQ(found.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            std::string id = "m" + std::to_string(i) + "@x";
            EXPECT_EQ(found[id], std::vector<std::string>{"Pending"}) << id;
        }
        for (const auto& [to, times] : challenged) EXPECT_EQ(times, 1) << to;
        EXPECT_GT(challenged.size(), 0u);
    }
}

}  // namespace
