// What the program tells the user: counts grouped and folded by reason, --quiet, each sender and
// subject of a dry run, why parked mail got no challenge, when pending mail really expires, every
// setting `config show` lists read by `config get`, and the domain form of the lists.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "cli/numbers.h"
#include "program_story.h"

namespace {

std::string utc(long long seconds, const char* format) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

class told_test : public program_story {
protected:
    // What the program writes to standard error when that is a terminal; its other output is lost.
    std::string on_a_terminal(const std::vector<std::string>& args) {
        int master = -1, terminal = -1;
        if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return "openpty failed";
        std::string program = TARNWICK_PROGRAM, home = tree.base();
        std::vector<std::string> words = with_data(args);
        std::vector<char*> argv = {program.data()};
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t child = ::fork();
        if (child == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(terminal, 2);
            ::close(master);
            for (const char* name : {"TARNWICK_MODULE", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) ::unsetenv(name);
            ::setenv("HOME", home.c_str(), 1);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(terminal);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
            if (n > 0) text.append(buffer, static_cast<size_t>(n));
        ::close(master);
        int status = 0;
        ::waitpid(child, &status, 0);
        return text;
    }
    // Four strangers, each challenged through a command that takes half a second.
    std::vector<std::string> slow_run(int first) {
        for (int i = first; i < first + 4; ++i)
            tree.add("", "new", std::to_string(100 + i) + ".s.test",
                     unknown_sender("s" + std::to_string(i) + "@example.org", std::to_string(i) + "@x"), 100 + i);
        return {"run",
                "--maildir",
                tree.root(),
                "--own-address",
                "me@home.example",
                "--sendmail",
                sendmail_script("slow", "cat >/dev/null; sleep 0.5")};
    }
};

}  // namespace

TEST(summary_numbers, counts_are_grouped_and_reasons_folded_largest_first) {
    const struct {
        long long count;
        const char* text;
    } rows[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {1284, "1,284"}, {1234567, "1,234,567"}, {-1284, "-1,284"}};
    for (const auto& row : rows) EXPECT_EQ(grouped(row.count), row.text);
    EXPECT_EQ(folded({{"no return path", 384}, {"mailing list", 900}, {"a\nb", 1}, {"b", 384}}),
              "mailing list 900, b 384, no return path 384, a b 1");
    EXPECT_EQ(folded({}), "");
}

TEST_F(told_test, quiet_prints_only_failures) {
    configure();
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    outcome quiet = tarnwick({"run", "--maildir", tree.root(), "--quiet"});
    EXPECT_EQ(quiet.code, 0) << quiet.err;
    EXPECT_EQ(quiet.out + quiet.err, "");
    ASSERT_EQ(tree.files_in("Pending", "cur").size(), 1u);

    tree.add("", "new", "200.b.test", unknown_sender("bob@example.org", "b@x"), 200);
    outcome failed = tarnwick(
        {"run", "--maildir", tree.root(), "--quiet", "--own-address", "me@home.example", "--sendmail", "false"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_NE(failed.out.find("challenges failed             1"), std::string::npos) << failed.out;
}

TEST_F(told_test, a_dry_run_names_each_sender_and_subject_safely) {
    configure();
    tree.add("", "new", "100.a.test",
             mail_text({"From: eve@example.org", "To: me@home.example",
                        "Subject: =?utf-8?q?one=0D=0A=1B[2Jtwo?= " + std::string(300, 'x'), "Message-ID: <e@x>"}),
             100);
    outcome dry = tarnwick({"run", "--maildir", tree.root(), "--dry-run"});
    ASSERT_EQ(dry.code, 0) << dry.err;
    expect_lines(dry.out, {"  100.a.test: moved to Pending; its challenge would be withheld\n"
                           "    from eve@example.org: one   [2Jtwo " +
                           std::string(87, 'x') + "...\n"});
}

TEST_F(told_test, parked_mail_says_why_no_challenge_went_out_and_when_it_expires) {
    configure();
    long now = static_cast<long>(std::time(nullptr));
    tree.add("", "new", "100.self.test",
             mail_text({"From: me@home.example", "To: me@home.example", "Subject: note", "Message-ID: <s@x>"}),
             now - 3600);
    tree.add("", "new", "200.nobody.test", mail_text({"To: me@home.example", "Subject: who", "Message-ID: <n@x>"}),
             now - 7200);
    outcome ran = tarnwick({"run", "--maildir", tree.root(), "--own-address", "me@home.example"});
    ASSERT_EQ(ran.code, 0) << ran.err;
    expect_lines(ran.out, {"parked without a challenge    2  (mail to oneself 1, no sender 1)"});

    // Fourteen days after each arrived, as the seed's settings say once expiry is on.
    ASSERT_EQ(tarnwick({"config", "set", "AutoDeleteBlocked", "true"}).code, 0);
    std::string self_expires = utc(now - 3600 + 14 * 86400, "%Y-%m-%d %H:%M");
    std::string nobody_expires = utc(now - 7200 + 14 * 86400, "%Y-%m-%d %H:%M");
    outcome shown = tarnwick({"pending", "--maildir", tree.root()});
    ASSERT_EQ(shown.code, 0) << shown.err;
    expect_lines(shown.out, {self_expires + "  me@home.example  mail to oneself", nobody_expires + "  (no sender)"});
    expect_lines(shown.out, {"(no sender)      no sender"});
    outcome json = tarnwick({"pending", "--json", "--maildir", tree.root()});
    expect_lines(json.out, {"\"expires\": \"" + utc(now - 3600 + 14 * 86400, "%Y-%m-%dT%H:%M:%SZ") + "\"",
                            "\"challenge\": \"none\", \"challenge_detail\": \"mail to oneself\""});

    ASSERT_EQ(tarnwick({"digest", "--maildir", tree.root()}).code, 0);
    std::vector<std::string> stored = tree.files_in("", "cur");
    ASSERT_EQ(stored.size(), 1u);
    expect_lines(read_text_file(tree.root() + "/cur/" + stored[0]),
                 {"Challenge: mail to oneself\n    Moved to Trash: " + self_expires + " UTC\n",
                  "Challenge: no sender\n    Moved to Trash: " + nobody_expires + " UTC\n"});
}

TEST_F(told_test, config_get_reads_every_setting_config_show_lists) {
    std::string file = tree.base() + "/config";
    write_text_file(file, "maildir = /nowhere/Maildir\nown-address = me@home.example, me@work.example\n");
    outcome shown = tarnwick({"config", "show", "--config", file});
    ASSERT_EQ(shown.code, 0) << shown.err;
    std::vector<std::string> rows = lines_of(shown.out.substr(shown.out.find("host settings")));
    std::map<std::string, std::string> listed;  // name to value, "" when not set
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string& row = rows[i];
        size_t end = row.find_first_of(" ", 2);
        std::string name = row.substr(2, end - 2);
        listed[name] = row.compare(end, 3, " = ") == 0 ? row.substr(end + 3, row.rfind("  (") - end - 3) : "";
    }
    EXPECT_EQ(listed["own-address"], "me@home.example, me@work.example");
    EXPECT_EQ(listed["data-dir"], data());
    ASSERT_GE(listed.size(), 10u) << shown.out;
    for (const auto& [name, value] : listed) {
        outcome got = tarnwick({"config", "get", name, "--config", file});
        EXPECT_EQ(got.code, 0) << name << ": " << got.err;
        EXPECT_EQ(got.out, value + "\n") << name;
    }
}

TEST_F(told_test, a_domain_written_as_other_programs_do_is_pointed_to_the_lists_form) {
    for (const char* domain : {"@example.org", "*@example.org"}) {
        outcome refused = tarnwick({"list", "add", "authorized", domain});
        EXPECT_EQ(refused.code, 2) << domain;
        EXPECT_NE(refused.err.find("a whole domain as .@example.org"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(tarnwick({"list", "add", "authorized", ".@example.org"}).code, 0);
}

TEST_F(told_test, a_long_run_shows_its_progress_in_place_on_a_terminal_only) {
    configure();
    std::string shown = on_a_terminal(slow_run(0));
    EXPECT_NE(shown.find("\rtarnwick: message 4 of 4"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r\033[K"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("message 1 of 4"), std::string::npos) << "shown before a second passed";
    outcome plain = tarnwick(slow_run(10));
    EXPECT_EQ(plain.code, 0) << plain.err;
    EXPECT_EQ(plain.err.find("message 4 of 4"), std::string::npos) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << plain.err;
}

TEST_F(told_test, a_long_run_leaves_most_withheld_challenges_to_the_counts) {
    configure();
    for (int i = 0; i < 12; ++i)
        tree.add("", "new", std::to_string(100 + i) + ".l.test",
                 // Four without a return path: the summary tells what gave automatic mail away.
                 // Two from robots, each address its own: folded all the same.
                 mail_text({i < 8 ? "Return-Path: <l" + std::to_string(i) + "@lists.example>" : "X-Note: none",
                            "From: l" + std::to_string(i) + "@lists.example", "To: me@home.example",
                            i == 6 || i == 7 ? "Reply-To: noreply@robots" + std::to_string(i) + ".example"
                                             : "List-Id: <news.lists.example>",
                            "Message-ID: <l" + std::to_string(i) + "@x>"}),
                 100 + i);
    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(ran.code, 0) << ran.err;
    size_t withheld = 0;
    for (const std::string& line : lines_of(ran.out)) withheld += line.find(" withheld: ") != std::string::npos;
    EXPECT_EQ(withheld, 10u) << ran.out;
    expect_lines(ran.out,
                 {"challenges withheld           12  (mailing-list mail 6, no return path 4, robot or list address 2)",
                  "  and 2 more challenges withheld, counted above\n"});
}
