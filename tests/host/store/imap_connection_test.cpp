// The IMAP connection against a real Dovecot: logging in, TLS, folders, messages byte for byte,
// moving with and without MOVE, IDLE.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "servers/dovecot_server.h"
#include "servers/fake_imap.h"
#include "servers/test_ca.h"
#include "store/imap_connection.h"

namespace {

using namespace std::chrono;

mail_url url_of(const dovecot_server& server, mail_url::security tls = mail_url::starttls,
                const std::string& user = dovecot_server::user) {
    mail_url url;
    url.tls = tls;
    url.host = "127.0.0.1";
    url.port = tls == mail_url::implicit_tls ? server.tls_port() : server.port();
    url.user = user;
    return url;
}

std::unique_ptr<imap_connection> login(const dovecot_server& server, imap_options options = {}) {
    options.timeout_seconds = 5;
    return open_imap_connection(url_of(server), dovecot_server::password, options);
}

const std::string message =
    "From: bob@example.net\r\nTo: ann@example.org\r\nSubject: round trip\r\n\r\n"
    "Line one\r\n\x01\xff binary \r\n.\r\nlast line without end";

std::string body_of(imap_connection& imap, std::uint32_t uid) {
    std::string bytes;
    EXPECT_TRUE(imap.body(uid, [&](std::string_view piece) { bytes += piece; }));
    return bytes;
}

std::size_t files_in(const std::string& folder) {
    std::size_t n = 0;
    for (const char* sub : {"/new", "/cur"})
        for (auto& entry : std::filesystem::directory_iterator(folder + sub)) n += entry.is_regular_file();
    return n;
}

}  // namespace

TEST(imap_connection, logs_in_with_the_password_and_names_server_and_user_when_refused) {
    dovecot_server server;
    auto imap = login(server);
    EXPECT_TRUE(imap->connected());
    EXPECT_TRUE(imap->has("uidplus") && imap->has("MOVE") && imap->has("IDLE"));  // those after login
    imap->logout();
    EXPECT_FALSE(imap->connected());

    // A server that dies under a connection: dropped, then nobody there, then back.
    imap = login(server);
    server.stop(true);
    EXPECT_THROW(imap->noop(), imap_error);
    EXPECT_FALSE(imap->connected());
    try {
        login(server);
        ADD_FAILURE() << "connected to a stopped server";
    } catch (const imap_error& e) {
        EXPECT_EQ(e.code(), imap_error::unreachable) << e.what();
        EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
    }
    server.start();
    EXPECT_EQ(login(server)->select("INBOX", true).exists, 0u);

    for (mail_url url : {url_of(server), url_of(server, mail_url::starttls, "nobody-here")}) {
        try {
            open_imap_connection(url, "wrong", {});
            ADD_FAILURE() << "logged in with a wrong password";
        } catch (const imap_error& e) {
            EXPECT_EQ(e.code(), imap_error::login);
            EXPECT_NE(
                std::string(e.what()).find("server imap://" + url.user + "@127.0.0.1:" + std::to_string(server.port()) +
                                           " refused the login of user " + url.user),
                std::string::npos)
                << e.what();
        }
    }
}

TEST(imap_connection, trusts_the_certificate_only_of_the_authority_given) {
    dovecot_server server({.tls = true});
    const test_ca& ca = the_test_ca();
    struct row {
        mail_url::security tls;
        std::string ca_file;
        bool trusted;
    };
    for (const row& r : {row{mail_url::implicit_tls, ca.ca_file, true}, row{mail_url::starttls, ca.ca_file, true},
                         row{mail_url::implicit_tls, ca.other_ca_file, false},
                         row{mail_url::starttls, ca.other_ca_file, false}, row{mail_url::starttls, "", false}}) {
        imap_options options;
        options.ca_file = r.ca_file;
        options.timeout_seconds = 5;
        try {
            auto imap = open_imap_connection(url_of(server, r.tls), dovecot_server::password, options);
            EXPECT_TRUE(r.trusted) << r.tls << " " << r.ca_file;
            EXPECT_EQ(imap->select("INBOX", true).exists, 0u);
        } catch (const imap_error& e) {
            EXPECT_FALSE(r.trusted) << e.what();
            EXPECT_EQ(e.code(), imap_error::tls) << e.what();
        }
    }
    // A refused certificate stops before the password: the server saw only the two trusted logins.
    const std::string log = server.log();
    std::size_t logins = 0;
    for (auto at = log.find("Login: user=<ann>"); at != std::string::npos; at = log.find("Login: user=<ann>", at + 1))
        ++logins;
    EXPECT_EQ(logins, 2u) << log;
}

TEST(imap_connection, lists_special_use_folders_and_creates_a_folder_once) {
    dovecot_server server;
    auto imap = login(server);
    EXPECT_EQ(imap->delimiter(), '/');
    imap->create_folder("Pending");
    imap->create_folder("Pending");  // there already: fine
    std::map<std::string, std::vector<std::string>> flags;
    for (const auto& folder : imap->list_folders()) flags[folder.name] = folder.flags;
    ASSERT_EQ(flags.size(), 5u);
    for (const char* name : {"Junk", "Sent", "Trash"})
        EXPECT_NE(std::find(flags[name].begin(), flags[name].end(), std::string("\\") + name), flags[name].end())
            << name;
    EXPECT_TRUE(std::filesystem::is_directory(server.maildir() + "/.Pending/cur"));
    imap->select("Pending", false);
    EXPECT_TRUE(imap->messages().empty());
    EXPECT_THROW(imap->select("No such folder", false), imap_error);
    EXPECT_TRUE(imap->connected());  // a NO leaves the conversation usable
}

TEST(imap_connection, appends_and_fetches_a_message_byte_for_byte) {
    dovecot_server server;
    auto imap = login(server);
    const std::uint32_t uid = imap->append("INBOX", message, false);
    const std::uint32_t read_uid = imap->append("INBOX", message, true);
    EXPECT_EQ(read_uid, uid + 1);  // APPENDUID
    auto state = imap->select("INBOX", false);
    EXPECT_EQ(state.exists, 2u);
    EXPECT_EQ(state.uidnext, read_uid + 1);
    EXPECT_NE(state.uidvalidity, 0u);

    auto list = imap->messages();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].uid, uid);
    EXPECT_EQ(list[0].size, message.size());
    EXPECT_FALSE(list[0].seen);
    EXPECT_TRUE(list[1].seen);
    EXPECT_LT(std::abs(list[0].internal_date - system_clock::to_time_t(system_clock::now())), 60);
    EXPECT_EQ(imap->messages(read_uid + 5).size(), 0u);  // "n:*" past the end is not the last one

    const std::string header = message.substr(0, message.find("\r\n\r\n") + 4);
    EXPECT_EQ(imap->header(uid, 1000), header);
    EXPECT_EQ(imap->header(uid, 10), header.substr(0, 10));
    EXPECT_EQ(body_of(*imap, uid), message);
    EXPECT_FALSE(imap->messages()[0].seen);  // fetched with PEEK
    imap->set_seen(uid, true);
    EXPECT_TRUE(imap->messages()[0].seen);

    EXPECT_EQ(imap->header(999, 1000), std::nullopt);
    EXPECT_FALSE(imap->body(999, [](std::string_view) {}));
    // A sink that fails ends the fetch with its own exception.
    EXPECT_THROW(imap->body(uid, [](std::string_view) { throw std::runtime_error("disk full"); }), std::runtime_error);
}

TEST(imap_connection, moves_with_move_or_copy_and_expunges_nothing_else) {
    for (bool use_move : {true, false}) {
        SCOPED_TRACE(use_move ? "MOVE" : "COPY + EXPUNGE");
        dovecot_server server;
        imap_options options;
        options.use_move = use_move;
        auto imap = login(server, options);
        const std::uint32_t uid = imap->append("INBOX", message, false);
        const std::uint32_t other = imap->append("INBOX", "Subject: other\r\n\r\nx", false);
        imap->select("INBOX", false);
        // Another client marked the other message \Deleted without expunging it.
        raw_imap(server.port(), dovecot_server::user, dovecot_server::password,
                 {"SELECT INBOX", "UID STORE " + std::to_string(other) + " +FLAGS (\\Deleted)"});

        const auto moved = imap->move(uid, "Junk");
        ASSERT_TRUE(moved);
        EXPECT_EQ(*moved, 1u);                             // COPYUID
        EXPECT_EQ(imap->move(uid, "Junk"), std::nullopt);  // gone
        auto left = imap->messages();
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0].uid, other);
        EXPECT_TRUE(left[0].deleted);
        imap->select("Junk", true);
        EXPECT_EQ(body_of(*imap, *moved), message);
        EXPECT_EQ(files_in(server.maildir()), 1u);
        EXPECT_EQ(files_in(server.maildir() + "/.Junk"), 1u);
    }
}

TEST(imap_connection, idle_wakes_on_an_arrival_on_its_wake_fd_and_on_time) {
    dovecot_server server;
    auto imap = login(server);
    imap->select("INBOX", false);

    auto arrival = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(milliseconds(300));
        login(server)->append("INBOX", message, false);
    });
    auto start = steady_clock::now();
    EXPECT_TRUE(imap->idle(10, -1));
    EXPECT_LT(steady_clock::now() - start, milliseconds(1300));
    arrival.get();

    start = steady_clock::now();
    EXPECT_FALSE(imap->idle(1, -1));
    EXPECT_GE(steady_clock::now() - start, milliseconds(950));
    EXPECT_LT(steady_clock::now() - start, milliseconds(2000));

    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    start = steady_clock::now();
    EXPECT_FALSE(imap->idle(10, wake[0]));
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    ::close(wake[0]);
    ::close(wake[1]);
    imap->noop();
    EXPECT_EQ(imap->messages().size(), 1u);
}
