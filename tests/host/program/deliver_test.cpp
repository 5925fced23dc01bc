// `tarnwick deliver`, the real program as a mail system runs it: the message on standard input,
// the envelope in -f/-a or the environment, and only the exit status read back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "program_story.h"

namespace fs = std::filesystem;

namespace {

std::string message_from(const std::string& who, const std::string& id, const std::string& extra = "") {
    return mail_text({"From: " + who, "To: me@home.example", "Subject: Hello", "Message-ID: <" + id + ">"}) + extra;
}

class deliver_test : public program_story {
protected:
    void SetUp() override {
        configure();
        ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    }
    outcome deliver(std::vector<std::string> args, const std::string& input,
                    const std::vector<std::string>& environment = {}) {
        args.insert(args.begin(), {"deliver", "--maildir", tree.root()});
        return tarnwick(args, input, environment);
    }
    // The one file of `folder`/`subdir`; "" when there is not exactly one.
    std::string only_file(const std::string& folder, const std::string& subdir) {
        std::vector<std::string> names = tree.files_in(folder, subdir);
        return names.size() == 1 ? read_text_file(tree.folder_dir(folder) + "/" + subdir + "/" + names[0]) : "";
    }
    size_t count(const std::string& folder, const std::string& subdir) { return tree.files_in(folder, subdir).size(); }
};

}  // namespace

TEST_F(deliver_test, stores_and_filters_as_run_would_with_the_envelope_in_the_header) {
    outcome known = deliver({"-f", "ann@example.org", "-a", "me@home.example"}, message_from("ann@example.org", "1"));
    EXPECT_EQ(known.code, 0) << known.err;
    EXPECT_EQ(known.out, "") << "a mail system reads nothing";
    EXPECT_EQ(known.err, "");
    EXPECT_EQ(only_file("", "new"),
              "Return-Path: <ann@example.org>\nDelivered-To: me@home.example\n" + message_from("ann@example.org", "1"));

    // The environment of Postfix's local(8): SENDER, then RECIPIENT or ORIGINAL_RECIPIENT.
    outcome stranger = deliver({}, message_from("bob@example.org", "2"),
                               {"SENDER=bob@example.org", "ORIGINAL_RECIPIENT=me+x@home.example"});
    EXPECT_EQ(stranger.code, 0) << stranger.err;
    EXPECT_EQ(only_file("Pending", "cur"), "Return-Path: <bob@example.org>\nDelivered-To: me+x@home.example\n" +
                                               message_from("bob@example.org", "2"));
    EXPECT_EQ(count("Outbox", "new"), 1u) << "the stranger is challenged at once";
    EXPECT_EQ(count("", "new"), 1u) << "never shown in the inbox";

    // The envelope's Return-Path replaces the message's own; "-fADDRESS" in one word; the null sender.
    auto empty_cur = [&] {
        fs::remove_all(tree.root() + "/new");
        fs::create_directory(tree.root() + "/new");
    };
    empty_cur();
    std::string with_path = "Return-Path: <list-bounces@example.org>\n" + message_from("ann@example.org", "3");
    EXPECT_EQ(deliver({"-fother@example.org"}, with_path).code, 0);
    EXPECT_EQ(only_file("", "new"), "Return-Path: <other@example.org>\n" + message_from("ann@example.org", "3"));
    for (const char* null_sender : {"", "<>"}) {
        empty_cur();
        EXPECT_EQ(deliver({"-f", null_sender}, message_from("ann@example.org", "4")).code, 0);
        EXPECT_EQ(only_file("", "new"), "Return-Path: <>\n" + message_from("ann@example.org", "4")) << null_sender;
    }
    EXPECT_EQ(deliver({"-f", "x@example.org", "-f", "y@example.org"}, "").code, 75) << "a wrong argument defers";
}

// The envelope decides: a null sender is a bounce whatever Return-Path the message brought, and
// a real sender is answered even when the message claims to be a bounce.
TEST_F(deliver_test, the_envelope_sender_decides_the_null_sender) {
    struct row {
        const char* sender;
        bool challenged;
    };
    const row rows[] = {{"<>", false}, {"", false}, {"MAILER-DAEMON", false}, {"bob@example.org", true}};
    int number = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.sender);
        std::string id = "bounce" + std::to_string(++number);
        std::string carried = r.challenged ? "Return-Path: <>\n" : "Return-Path: <x@y.example>\n";
        size_t challenges = count("Outbox", "new");
        ASSERT_EQ(deliver({"-f", r.sender, "-a", "me@home.example"},
                          carried + message_from("bob" + std::to_string(number) + "@example.org", id))
                      .code,
                  0);
        std::string stored = only_file("Pending", "cur");
        EXPECT_EQ(stored.rfind("Return-Path: <" + std::string(r.challenged ? r.sender : "") + ">\n", 0), 0u) << stored;
        EXPECT_EQ(stored.find(carried), std::string::npos) << stored;
        EXPECT_EQ(count("Outbox", "new"), challenges + (r.challenged ? 1 : 0));
        fs::remove_all(tree.folder_dir("Pending") + "/cur");
        fs::create_directory(tree.folder_dir("Pending") + "/cur");
    }
}

// The challenge comes from the envelope recipient, else from an own address; never from what the
// stranger wrote in Delivered-To or To.
TEST_F(deliver_test, the_challenge_comes_from_the_envelope_recipient_or_an_own_address) {
    const std::string forged = "Delivered-To: ceo@bank.example\n";
    fs::remove(tree.base() + "/.config/tarnwick/config");  // no own-address but where a row gives one
    struct row {
        std::vector<std::string> args;
        std::vector<std::string> environment;
        const char* from;  // nullptr: withheld
    };
    const row rows[] = {
        {{"-a", "me+x@home.example"}, {}, "me+x@home.example"},
        {{}, {"RECIPIENT=robin@home.example"}, "robin@home.example"},
        {{"--own-address", "me@home.example, robin@home.example"}, {}, "me@home.example"},
        {{}, {}, nullptr},
    };
    int number = 0;
    for (const row& r : rows) {
        std::string sender = "carl" + std::to_string(++number) + "@example.org";
        std::vector<std::string> args = r.args;
        args.insert(args.end(), {"-f", sender});
        outcome delivered = deliver(args, forged + message_from(sender, "c" + std::to_string(number)), r.environment);
        ASSERT_EQ(delivered.code, 0) << delivered.err;
        std::vector<std::string> sent = tree.files_in("Outbox", "new");
        if (!r.from) {
            EXPECT_EQ(sent.size(), static_cast<size_t>(number - 1)) << "withheld without an address of the user's";
            continue;
        }
        ASSERT_EQ(sent.size(), static_cast<size_t>(number));
        bool found = false;
        for (const std::string& name : sent) {
            std::string challenge = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
            if (challenge.find("To: " + sender) == std::string::npos) continue;
            found = true;
            EXPECT_NE(challenge.find(std::string("\nFrom: ") + r.from + "\n"), std::string::npos) << challenge;
            EXPECT_EQ(challenge.find("bank.example"), std::string::npos) << challenge;
        }
        EXPECT_TRUE(found) << sender;
    }
    outcome wrong = deliver({"--own-address", "Robin <me@home.example>"}, message_from("dan@example.org", "d"));
    EXPECT_EQ(wrong.code, 75);
    EXPECT_NE(wrong.err.find("\"Robin\" is not a plain address"), std::string::npos) << wrong.err;
}

TEST_F(deliver_test, hostile_envelope_values_stay_out_of_the_header) {
    const std::string message = message_from("ann@example.org", "1");
    for (const std::string& hostile :
         {std::string("a@b.example\r\nBcc: victim@example.org"), std::string("a@b.example\nX-Evil: 1"),
          std::string("a b@example.org"), std::string("a@b.example>\nX: <c"), std::string("a@b\x01.example")}) {
        fs::remove_all(tree.root() + "/new");
        fs::create_directory(tree.root() + "/new");
        outcome delivered = deliver({"-f", hostile, "-a", hostile}, message);
        EXPECT_EQ(delivered.code, 0) << delivered.err;
        EXPECT_NE(delivered.err.find("envelope sender has control characters"), std::string::npos) << delivered.err;
        EXPECT_NE(delivered.err.find("envelope recipient has control characters"), std::string::npos);
        EXPECT_EQ(only_file("", "new"), message) << "stored as received, nothing added";
    }
}

// CRLF mail is kept byte for byte, and the added lines end as its own lines do.
TEST_F(deliver_test, crlf_mail_keeps_its_line_ends_and_a_mailbox_from_line_gives_the_sender) {
    std::string crlf = "From: Bob <bob@example.org>\r\nTo: me@home.example\r\nSubject: Hi\r\n\r\nHello.\r\n";
    EXPECT_EQ(deliver({"-f", "bob@example.org"}, crlf).code, 0);
    EXPECT_EQ(only_file("Pending", "cur"), "Return-Path: <bob@example.org>\r\n" + crlf);
    std::string challenge = only_file("Outbox", "new");
    EXPECT_NE(challenge.find("To: Bob <bob@example.org>"), std::string::npos) << challenge;

    // procmail hands over a mailbox's "From " line; it is no header field and is left out.
    fs::remove_all(tree.root() + "/new");
    fs::create_directory(tree.root() + "/new");
    EXPECT_EQ(
        deliver({}, "From ann@example.org  Tue Dec  8 07:38:43 2026\n" + message_from("ann@example.org", "9")).code, 0);
    EXPECT_EQ(only_file("", "new"), "Return-Path: <ann@example.org>\n" + message_from("ann@example.org", "9"));
}

TEST_F(deliver_test, exit_status_tells_the_mail_system_whether_to_keep_the_message) {
    EXPECT_EQ(deliver({"--help"}, "").code, 0);
    // Wrong arguments and settings defer instead of bouncing.
    EXPECT_EQ(deliver({"--no-such-option"}, "x").code, 75);
    EXPECT_EQ(tarnwick({"deliver", "--maildir", tree.base() + "/nowhere"}, "x").code, 75);
    write_text_file(tree.base() + "/bad.conf", "colour = blue\n");
    outcome bad_settings = deliver({"--config", tree.base() + "/bad.conf"}, "x");
    EXPECT_EQ(bad_settings.code, 75);
    EXPECT_NE(bad_settings.err.find("unknown setting"), std::string::npos) << bad_settings.err;

    // The data folder held past the lock timeout: nothing stored.
    int held = ::open((data() + "/OstrelAntiSpam/tarnwick.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    auto started = std::chrono::steady_clock::now();
    outcome locked = deliver({"--lock-timeout", "1"}, message_from("ann@example.org", "1"));
    EXPECT_EQ(locked.code, 75) << locked.err;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_NE(locked.err.find("past the lock timeout"), std::string::npos) << locked.err;
    EXPECT_EQ(count("", "new") + count("", "cur") + count("", "tmp"), 0u);
    // Released within the timeout: delivered.
    running_program waiting = start(tree.base(), {"deliver", "--maildir", tree.root(), "--data-dir", data()},
                                    message_from("ann@example.org", "2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(held);
    outcome waited = waiting.wait();
    EXPECT_EQ(waited.code, 0) << waited.err;
    EXPECT_EQ(count("", "new"), 1u);

    // A Maildir that cannot take the file: nothing stored, deferred.
    fs::remove_all(tree.root() + "/tmp");
    write_text_file(tree.root() + "/tmp", "");
    outcome unwritable = deliver({}, message_from("ann@example.org", "3"));
    EXPECT_EQ(unwritable.code, 75);
    EXPECT_NE(unwritable.err.find("not stored"), std::string::npos) << unwritable.err;
    fs::remove(tree.root() + "/tmp");
    fs::create_directory(tree.root() + "/tmp");

    // Stored, but the add-in cannot load: delivered all the same, new for the next run.
    write_text_file(tree.base() + "/not-a-module.so", "text");
    outcome unfiltered = deliver({"--module", tree.base() + "/not-a-module.so"}, message_from("bob@example.org", "4"));
    EXPECT_EQ(unfiltered.code, 0);
    EXPECT_EQ(std::count(unfiltered.err.begin(), unfiltered.err.end(), '\n'), 1) << unfiltered.err;
    EXPECT_NE(unfiltered.err.find("could not filter it"), std::string::npos) << unfiltered.err;
    EXPECT_EQ(count("", "new"), 2u) << "Ann's kept message and this one";
    outcome later = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(later.code, 0) << later.err;
    EXPECT_EQ(count("Pending", "cur"), 1u);
}

// Mail nobody should be answered for is stored and filtered, never challenged, by deliver and by
// run alike, and the summary says why.
TEST_F(deliver_test, empty_large_and_non_mail_input_is_stored_and_never_challenged) {
    std::string large = message_from("carl@example.org", "big", std::string(3000, 'x') + "\n");
    EXPECT_EQ(deliver({"-f", "carl@example.org", "--max-message-size", "2K"}, large).code, 0);
    EXPECT_EQ(deliver({}, "").code, 0);
    EXPECT_EQ(deliver({"-f", "dan@example.org"}, "just some text\nwithout fields\n").code, 0);
    EXPECT_EQ(deliver({}, std::string("\x89PNG\r\n\x1a\n\0\0", 10)).code, 0);
    EXPECT_EQ(count("Pending", "cur"), 4u) << "each stored once, parked as mail without a known sender";
    EXPECT_EQ(count("Outbox", "new"), 0u);
    EXPECT_EQ(deliver({"--max-message-size", "2X"}, "x").code, 75);

    // run: a new stranger's large mail, and text whose sender line is not where mail has its fields.
    tree.add("", "new", "100.a.test", "Return-Path: <fay@example.org>\n" + message_from("fay@example.org", "f") + large,
             100);
    tree.add("", "new", "200.b.test", "Dear friend,\nFrom: gil@example.org\nReturn-Path: <gil@example.org>\n\nbuy\n",
             200);
    outcome ran = tarnwick({"run", "--maildir", tree.root(), "--max-message-size", "2048"});
    EXPECT_EQ(ran.code, 0) << ran.err;
    EXPECT_NE(ran.out.find("(too large 1)"), std::string::npos) << ran.out;
    EXPECT_EQ(count("Outbox", "new"), 0u);
    EXPECT_EQ(tarnwick({"run", "--maildir", tree.root(), "--max-message-size", "0"}).code, 2);
}

// watch holds the data folder only while it filters: other commands and deliver work meanwhile,
// and a list changed by them is what watch's next batch sees and keeps.
TEST_F(deliver_test, watch_and_deliver_share_the_data_folder) {
    running_program watching = start(tree.base(), {"watch", "--maildir", tree.root(), "--data-dir", data()});
    ASSERT_TRUE(eventually([&] { return fs::exists(tree.folder_dir("Pending") + "/cur"); }));
    ASSERT_TRUE(eventually([&] {
        return tarnwick({"list", "add", "authorized", "bob@example.org"}).code == 0;
    })) << "the idle watch holds no lock";
    // Deliveries at once, racing with watch's batch for each.
    std::vector<running_program> deliveries;
    for (int i = 0; i < 6; ++i) {
        std::string who = i % 2 ? "bob@example.org" : "stranger" + std::to_string(i) + "@example.org";
        deliveries.push_back(start(tree.base(), {"deliver", "-f", who, "--maildir", tree.root(), "--data-dir", data()},
                                   message_from(who, std::to_string(i))));
    }
    for (running_program& delivery : deliveries) {
        outcome done = delivery.wait();
        EXPECT_EQ(done.code, 0) << done.err;
    }
    // And a plain arrival that only watch filters.
    std::string path = tree.add("", "tmp", "300.c.test",
                                "Return-Path: <eve@example.org>\n" + message_from("eve@example.org", "e"), 300);
    ASSERT_EQ(std::rename(path.c_str(), (tree.root() + "/new/300.c.test").c_str()), 0);
    EXPECT_TRUE(eventually([&] { return count("Pending", "cur") == 4; }));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_EQ(stopped.code, 0) << stopped.err;
    EXPECT_EQ(count("", "new"), 3u) << "bob's list entry, made while watch ran, held";
    EXPECT_EQ(count("", "cur"), 0u);
    EXPECT_EQ(count("Outbox", "new"), 4u) << stopped.out;
    outcome authorized = tarnwick({"list", "show", "authorized"});
    EXPECT_NE(authorized.out.find("bob@example.org"), std::string::npos) << authorized.out;
    EXPECT_NE(authorized.out.find("ann@example.org"), std::string::npos) << "watch wrote no stale list over it";
}

// A batch that finds the data folder held past lock-timeout gives up without dying: the next
// arrival's batch filters what waited.
TEST_F(deliver_test, watch_tries_again_when_the_data_folder_stayed_held) {
    running_program watching =
        start(tree.base(), {"watch", "--maildir", tree.root(), "--data-dir", data(), "--lock-timeout", "1"});
    ASSERT_TRUE(eventually([&] { return fs::exists(tree.folder_dir("Pending") + "/cur"); }));
    int held = ::open((data() + "/OstrelAntiSpam/tarnwick.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(eventually([&] { return ::flock(held, LOCK_EX | LOCK_NB) == 0; }));
    auto arrive = [&](const std::string& name, const std::string& who) {
        std::string path = tree.add("", "tmp", name, message_from(who, name), 300);
        ASSERT_EQ(std::rename(path.c_str(), (tree.root() + "/new/" + name).c_str()), 0);
    };
    arrive("300.a.test", "ann@example.org");
    EXPECT_TRUE(
        eventually([&] { return read_text_file(watching.err_path).find("new mail waits") != std::string::npos; }));
    EXPECT_EQ(count("", "new"), 1u);
    ::close(held);
    arrive("400.b.test", "ann@example.org");
    EXPECT_TRUE(eventually([&] {
        return read_text_file(data() + "/OstrelAntiSpam/judged-inbox.txt").find("400.b.test") != std::string::npos;
    }));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_EQ(stopped.code, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("2 messages filtered in all"), std::string::npos) << stopped.out;
}

// A sender who sends his parked message again, byte for byte, after the user deleted it has not
// had it moved back by the user: the new delivery is parked like the first, nobody authorized.
TEST_F(deliver_test, a_parked_message_sent_again_after_its_deletion_is_no_verdict) {
    const std::string message = mail_text({"From: spam@strangers.example", "To: me@home.example", "Subject: Again",
                                           "Message-ID: <again@strangers.example>"});
    const std::vector<std::string> envelope = {"-f", "spam@strangers.example", "-a", "me@home.example"};
    ASSERT_EQ(deliver(envelope, message).code, 0);
    std::vector<std::string> parked = tree.files_in("Pending", "cur");
    ASSERT_EQ(parked.size(), 1u);
    fs::remove(tree.folder_dir("Pending") + "/cur/" + parked[0]);

    outcome again = deliver(envelope, message);
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(count("Pending", "cur"), 1u);
    EXPECT_EQ(count("", "new") + count("", "cur"), 0u);
    EXPECT_EQ(tarnwick({"list", "show", "authorized"}).out.find("spam@strangers.example"), std::string::npos);
}
