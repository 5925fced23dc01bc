// `tarnwick pending approve|reject`: the verdicts of moving mail out of the pending folder, given
// by the number the list shows or by Message-ID, and nothing at all for an ID that names nothing.
#include <gtest/gtest.h>

#include <ctime>

#include "program_story.h"

namespace {

std::string stranger(const std::string& who, const std::string& id) {
    return mail_text({"Return-Path: <" + who + ">", "From: " + who, "To: me@home.example", "Subject: Hello from " + who,
                      "Message-ID: <" + id + ">"});
}

class pending_verdict_test : public program_story {
protected:
    void SetUp() override {
        ASSERT_EQ(tarnwick({"config", "set", "EnableProtection", "true"}).code, 0);
        // Recent, so that no expiry takes them.
        long now = static_cast<long>(std::time(nullptr));
        tree.add("", "new", "100.a.test", stranger("ann@example.org", "a@x"), now - 300);
        tree.add("", "new", "200.b.test", stranger("bob@example.net", "b@x"), now - 200);
        tree.add("", "new", "300.c.test", stranger("cat@example.net", "c@x"), now - 100);
        outcome ran = tarnwick({"run", "--maildir", tree.root()});
        ASSERT_EQ(ran.code, 0) << ran.err;
        ASSERT_EQ(tree.files_in("Pending", "cur").size(), 3u);
    }
    outcome pending(const std::vector<std::string>& words) {
        std::vector<std::string> call{"pending"};
        for (const std::string& word : words) call.push_back(word);
        call.push_back("--maildir");
        call.push_back(tree.root());
        return tarnwick(call);
    }
};

}  // namespace

TEST_F(pending_verdict_test, approve_by_number_and_reject_by_message_id_as_moving_would) {
    // Newest first, numbered from the oldest.
    std::vector<std::string> rows = lines_of(pending({}).out);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[3].rfind("2  ", 0), 0u) << rows[3];
    EXPECT_NE(rows[3].find("bob@example.net"), std::string::npos) << rows[3];
    EXPECT_NE(pending({"--json"}).out.find("\"file\": \"100.a.test:2,S\", \"number\": 1,"), std::string::npos);

    // One ID that names nothing: nothing is judged, not even the IDs that name a message.
    std::vector<std::string> before = tree.snapshot();
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"approve", "1", "4"}, {"reject", "<nobody@x>"}, {"approve", "0"}, {"reject", "<>"}}) {
        outcome refused = pending(words);
        EXPECT_EQ(refused.code, 1) << words[1];
        EXPECT_NE(refused.err.find("tarnwick: no message "), std::string::npos) << refused.err;
    }
    EXPECT_EQ(tree.snapshot(), before);
    EXPECT_TRUE(list("authorized").empty());
    EXPECT_TRUE(list("remove").empty());

    // Authorized already, without his mail released: approving him releases it all the same.
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    outcome approved = pending({"approve", "1"});
    ASSERT_EQ(approved.code, 0) << approved.err << approved.out;
    expect_lines(approved.out,
                 {"1: ann@example.org authorized (\"Hello from ann@example.org\")", "released to the inbox: 1"});
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(tree.files_in("", "cur").size(), 1u);

    // bob is 1 now and cat 2: the Message-ID names cat's all the same, with or without <>.
    outcome rejected = pending({"reject", "c@x", "<b@x>"});
    ASSERT_EQ(rejected.code, 0) << rejected.err;
    expect_lines(rejected.out, {"c@x: cat@example.net put on the remove list", "<b@x>: bob@example.net put on",
                                "deleted (moved to Trash): 2"});
    EXPECT_EQ(list("remove"), (std::vector<std::string>{"bob@example.net", "cat@example.net"}));
    EXPECT_TRUE(tree.files_in("Pending", "cur").empty());

    // The filter's own moves were no verdicts by moving: the next run takes none.
    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(ran.out.find("judged by moving"), std::string::npos) << ran.out;
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
}
