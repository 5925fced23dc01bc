// What a hostile or broken IMAP server may send is input: the connection fails with the right
// error within its timeout, never hangs, and never holds more than it must.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>

#include "servers/fake_imap.h"
#include "store/imap_connection.h"

namespace {

using namespace std::chrono;
using script = fake_imap_server::script;
using send_fn = fake_imap_server::send_fn;

const std::string greeting = "* OK [CAPABILITY IMAP4rev1] fake ready\r\n";

mail_url url_of(const fake_imap_server& server) {
    mail_url url;
    url.tls = mail_url::starttls;  // it offers no STARTTLS: plain, on loopback only
    url.host = "127.0.0.1";
    url.port = server.port();
    url.user = "ann";
    return url;
}

// Sends `head`, then `total` bytes of filler as fast as the client takes them.
bool flood(const send_fn& send, const std::string& head, std::uint64_t total) {
    if (!send(head)) return false;
    const std::string chunk(1 << 20, 'x');
    for (std::uint64_t sent = 0; sent < total; sent += chunk.size())
        if (!send(std::string_view(chunk).substr(0, std::min<std::uint64_t>(chunk.size(), total - sent)))) return false;
    return true;
}

std::uint64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

const std::uint64_t four_gb = 4294967295u;

// Under the address sanitizer memory and time are not what they are in the program: the floods,
// which prove the bound on memory, take minutes there, and only the kinds of error are checked.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

}  // namespace

TEST(imap_hostile, fails_with_the_right_error_within_its_timeout) {
    struct row {
        const char* name;
        std::string greeting;
        script answer;
        imap_error::kind expected;
        bool flood = false;
    };
    const script stall = [](auto&, auto&, auto&) { return false; };
    const row rows[] = {
        {"not IMAP", "HTTP/1.1 400 Bad Request\r\n\r\n", stall, imap_error::protocol},
        {"no greeting", "", stall, imap_error::dropped},
        {"a stall at LOGIN", greeting, stall, imap_error::dropped},
        {"a greeting without end", "* OK no end", stall, imap_error::dropped},
        {"a line that never ends", greeting,
         logged_in_then([](auto&, auto&, const send_fn& send) { return flood(send, "* OK ", 200u << 20); }),
         imap_error::protocol, true},
        {"a 4 GB literal in LIST", greeting, logged_in_then([](auto&, auto&, const send_fn& send) {
             return flood(send, "* LIST () \"/\" {" + std::to_string(four_gb) + "}\r\n", 200u << 20);
         }),
         imap_error::protocol, true},
        {"a 4 GB literal in a body that stops", greeting, logged_in_then([](auto&, auto&, const send_fn& send) {
             flood(send, "* 1 FETCH (UID 7 BODY[] {" + std::to_string(four_gb) + "}\r\n", 1u << 20);
             return false;
         }),
         imap_error::dropped},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (sanitized && r.flood) continue;
        fake_imap_server server(r.greeting, r.answer);
        imap_options options;
        options.timeout_seconds = 2;
        const auto start = steady_clock::now();
        const std::uint64_t before = resident_bytes();
        try {
            auto imap = open_imap_connection(url_of(server), "secret", options);
            imap->list_folders();
            imap->select("INBOX", false);
            imap->body(7, [](std::string_view) {});
            ADD_FAILURE() << "no error";
        } catch (const imap_error& e) {
            EXPECT_EQ(e.code(), r.expected) << e.what();
        }
        // One timeout, not two: nothing waits for a LOGOUT answer from a server that stalls. Two
        // seconds of timeout leave a loaded machine room below the bound.
        if (sanitized) continue;
        EXPECT_LT(steady_clock::now() - start, milliseconds(3900));
        EXPECT_LT(resident_bytes() - std::min(before, resident_bytes()), 100u << 20);
    }
}

TEST(imap_hostile, streams_a_100_mb_message_without_holding_it) {
    const std::uint64_t size = 100u << 20;
    fake_imap_server server(greeting, logged_in_then([&](const std::string& tag, auto&, const send_fn& send) {
                                return flood(send, "* 1 FETCH (UID 7 BODY[] {" + std::to_string(size) + "}\r\n",
                                             size) &&
                                       send(")\r\n" + tag + " OK done\r\n");
                            }));
    imap_options options;
    options.timeout_seconds = 5;
    auto imap = open_imap_connection(url_of(server), "secret", options);
    imap->select("INBOX", true);
    const std::uint64_t before = resident_bytes();
    std::uint64_t got = 0, most = before;
    EXPECT_TRUE(imap->body(7, [&](std::string_view piece) {
        got += piece.size();
        if (got % (8u << 20) < piece.size()) most = std::max(most, resident_bytes());
    }));
    EXPECT_EQ(got, size);
    EXPECT_LT(most - before, 20u << 20);
    EXPECT_TRUE(imap->connected());
}

TEST(imap_hostile, a_server_without_move_or_uidplus_is_never_asked_to_expunge) {
    std::vector<std::string> asked;
    fake_imap_server server(greeting, logged_in_then(
                                          [&](const std::string& tag, const std::string& command, const send_fn& send) {
                                              asked.push_back(command);
                                              return send(tag + " OK done\r\n");
                                          },
                                          "IMAP4rev1"));
    auto imap = open_imap_connection(url_of(server), "secret", {});
    imap->select("INBOX", false);
    try {
        imap->move(7, "Junk");
        ADD_FAILURE() << "moved without MOVE or UIDPLUS";
    } catch (const imap_error& e) {
        EXPECT_EQ(e.code(), imap_error::refused) << e.what();
    }
    imap->noop();
    EXPECT_EQ(asked, std::vector<std::string>{"NOOP"});
}
