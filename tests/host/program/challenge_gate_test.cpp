// The real `tarnwick run` deciding which challenges go out: only to senders a trusted server
// authenticated, and at most the budget an hour across runs. Withheld challenges leave the mail
// in the pending folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "program_story.h"

namespace {

// Mail from `who` as the user's server delivers it, with its Authentication-Results field.
std::string delivered(const std::string& who, const std::string& auth_results) {
    std::vector<std::string> fields = {"Return-Path: <" + who + ">", "Delivered-To: me@home.example"};
    if (!auth_results.empty()) fields.push_back("Authentication-Results: " + auth_results);
    for (std::string field : {"From: " + who, std::string("To: me@home.example"), "Subject: Hello from " + who})
        fields.push_back(field);
    std::string text;
    for (const std::string& field : fields) text += field + "\n";
    return text + "\nHello.\n";
}

class challenge_gate_test : public program_story {
protected:
    void SetUp() override { configure(); }
    outcome filter(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"run", "--maildir", tree.root()};
        args.insert(args.end(), extra.begin(), extra.end());
        return tarnwick(args);
    }
    void arrive(const std::string& who, const std::string& auth_results = "") {
        ++arrivals;
        tree.add("", "new", std::to_string(1704067200 + arrivals) + ".M" + std::to_string(arrivals) + ".test",
                 delivered(who, auth_results), 1704067200 + arrivals);
    }
    // Mail as delivered with the header block `fields` (each line ends in a line break).
    void arrive_block(const std::string& fields) {
        ++arrivals;
        tree.add("", "new", std::to_string(1704067200 + arrivals) + ".M" + std::to_string(arrivals) + ".test",
                 "Return-Path: <sender@elsewhere.example>\nDelivered-To: me@home.example\n" + fields +
                     "To: me@home.example\nSubject: Hello\n\nHello.\n",
                 1704067200 + arrivals);
    }
    // The To field of each stored challenge, in alphabetical order (the order of the stored
    // files' names is not the order they were written in).
    std::vector<std::string> challenged() const {
        std::vector<std::string> to;
        for (const std::string& name : tree.files_in("Outbox", "new")) {
            std::string text = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
            size_t at = text.find("\nTo: ");
            to.push_back(at == std::string::npos ? "?" : text.substr(at + 5, text.find('\n', at + 1) - at - 5));
        }
        std::sort(to.begin(), to.end());
        return to;
    }
    std::string budget_file() const { return tree.base() + "/data/OstrelAntiSpam/challenges_sent.txt"; }

    int arrivals = 0;
};

}  // namespace

TEST_F(challenge_gate_test, only_senders_a_trusted_server_authenticated_are_challenged) {
    arrive("pay@bank.example",
           "mx.home.example; spf=fail smtp.mailfrom=bank.example; dmarc=fail header.from=bank.example");
    arrive("ann@friends.example",
           "mx.home.example;\n\tspf=pass smtp.mailfrom=ann@friends.example;\n\tdmarc=pass header.from=friends.example");
    // A pass from a server the user does not trust counts for nothing: anyone can write one.
    arrive("ceo@corp.example", "mx.other.example; dmarc=pass header.from=corp.example");
    arrive("nobody@nowhere.example");

    outcome result = filter({"--trusted-authserv", "other.example", "--trusted-authserv=MX.HOME.EXAMPLE"});
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(challenged(), std::vector<std::string>{"ann@friends.example"});
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 4u);
    EXPECT_TRUE(tree.files_in("", "new").empty());
    for (const char* line : {"challenges sent               1",
                             "challenges withheld           3  (no trusted Authentication-Results 2, "
                             "not authenticated 1)",
                             "challenge to pay@bank.example withheld: not authenticated: spf=fail dmarc=fail",
                             "challenge to ceo@corp.example withheld: no trusted Authentication-Results",
                             "challenge to nobody@nowhere.example withheld: no trusted Authentication-Results"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    EXPECT_EQ(result.out.find("not gated"), std::string::npos) << result.out;
}

TEST_F(challenge_gate_test, without_trusted_servers_nothing_is_gated_and_the_summary_says_so) {
    arrive("pay@bank.example", "mx.home.example; spf=fail smtp.mailfrom=bank.example; dmarc=fail");
    outcome result = filter();
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(challenged(), std::vector<std::string>{"pay@bank.example"});
    EXPECT_NE(result.out.find("challenges are not gated by sender authentication: set trusted-authserv"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(filter({"--trusted-authserv", " , "}).code, 2);
    EXPECT_EQ(filter({"--challenge-limit", "many"}).code, 2);
    EXPECT_EQ(filter({"--challenge-limit", "-1"}).code, 2);
}

TEST_F(challenge_gate_test, the_budget_holds_across_runs_and_a_damaged_record_only_lowers_it) {
    for (const char* who : {"s1@strangers.example", "s2@strangers.example", "s3@strangers.example"}) arrive(who);
    outcome first = filter({"--challenge-limit", "2"});
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    EXPECT_EQ(challenged(), (std::vector<std::string>{"s1@strangers.example", "s2@strangers.example"}));
    EXPECT_NE(first.out.find("challenge to s3@strangers.example withheld: challenge budget spent"), std::string::npos)
        << first.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 3u);

    // The next run counts the first one's challenges.
    arrive("s4@strangers.example");
    outcome second = filter({"--challenge-limit", "2"});
    ASSERT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_EQ(challenged().size(), 2u);
    EXPECT_NE(second.out.find("challenge to s4@strangers.example withheld: challenge budget spent"), std::string::npos)
        << second.out;

    // Lines that are not times count as challenges just sent: with room for three, two bad
    // lines leave one.
    write_text_file(budget_file(), "garbage\n\x01\x02\n");
    arrive("s5@strangers.example");
    arrive("s6@strangers.example");
    outcome damaged = filter({"--challenge-limit", "3"});
    ASSERT_EQ(damaged.code, 0) << damaged.out << damaged.err;
    EXPECT_NE(damaged.err.find(budget_file() + " has 2 lines that are not times"), std::string::npos) << damaged.err;
    EXPECT_EQ(challenged().size(), 3u);
    EXPECT_NE(damaged.out.find("challenge to s6@strangers.example withheld: challenge budget spent"), std::string::npos)
        << damaged.out;
}

TEST_F(challenge_gate_test, the_default_budget_withholds_the_31st_challenge) {
    for (int i = 1; i <= 31; ++i) arrive("s" + std::to_string(i) + "@strangers.example");
    outcome result = filter();
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(challenged().size(), 30u);
    EXPECT_NE(result.out.find("challenge to s31@strangers.example withheld: challenge budget spent"), std::string::npos)
        << result.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 31u);
}

TEST_F(challenge_gate_test, the_gate_and_the_budget_come_from_the_settings_file_too) {
    arrive("pay@bank.example", "mx.home.example; spf=fail smtp.mailfrom=bank.example; dmarc=fail");
    arrive("ann@friends.example", "mx.home.example; dmarc=pass header.from=friends.example");
    arrive("bob@friends.example", "mx.home.example; dmarc=pass header.from=friends.example");
    std::string settings = tree.base() + "/gate.conf";
    write_text_file(settings,
                    "own-address = me@home.example\ntrusted-authserv = other.example  MX.home.example\n"
                    "challenge-limit = 1\n");
    outcome result = filter({"--config", settings});
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(challenged(), std::vector<std::string>{"ann@friends.example"});
    for (const char* line : {"challenge to pay@bank.example withheld: not authenticated: spf=fail dmarc=fail",
                             "challenge to bob@friends.example withheld: challenge budget spent"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
}

TEST_F(challenge_gate_test, hostile_header_blocks_get_no_challenge) {
    const std::string received =
        "Received: from mx.sender.example by mx.home.example; Mon, 1 Jan 2024 00:00:00 +0000\n";
    // The one sender the user's server vouched for, in the block above its Received field.
    arrive_block("Authentication-Results: mx.home.example; dmarc=pass header.from=friends.example\n" + received +
                 "Authentication-Results: mx.home.example; dmarc=fail\nFrom: ann@friends.example\n");
    // The sender wrote the passing field himself: it lies below the Received field.
    arrive_block(received + "Authentication-Results: mx.home.example; dmarc=pass header.from=bank.example\n" +
                 "From: pay@bank.example\n");
    // The topmost trusted field decides.
    arrive_block(
        "Authentication-Results: mx.home.example; dmarc=fail header.from=bank.example\n"
        "Authentication-Results: mx.home.example; dmarc=pass header.from=bank.example\n" +
        received + "From: ceo@bank.example\n");
    // A name anyone can register under a public suffix vouches for nobody else.
    arrive_block("Authentication-Results: mx.home.example; dkim=pass header.d=attacker.duckdns.org\n" + received +
                 "From: admin@duckdns.org\n");
    // Authenticated, but which From a reader sees is unknown.
    arrive_block("Authentication-Results: mx.home.example; dmarc=pass header.from=friends.example\n" + received +
                 "From: bob@friends.example\nFrom: boss@home.example\n");

    outcome result = filter({"--trusted-authserv", "mx.home.example"});
    ASSERT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(challenged(), std::vector<std::string>{"ann@friends.example"});
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 5u);
    for (const char* line :
         {"challenge to pay@bank.example withheld: no trusted Authentication-Results above the first Received field",
          "challenge to ceo@bank.example withheld: not authenticated: dmarc=fail",
          "challenge to admin@duckdns.org withheld: not authenticated: dkim=pass (not aligned)",
          "challenge to bob@friends.example withheld: more than one From field"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
}
