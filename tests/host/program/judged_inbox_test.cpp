// What the filter takes for new mail: the inbox's unread messages it has not judged, wherever an
// IMAP server put them, never what was there before it first ran, and kept mail only once.
#include <signal.h>

#include <filesystem>

#include "program_story.h"

namespace fs = std::filesystem;

namespace {

class judged_inbox_story : public program_story {
protected:
    outcome run_on(const std::string& data_home) {
        return run(tree.base(), {"run", "--maildir", tree.root(), "--data-dir", data_home});
    }
};

}  // namespace

TEST_F(judged_inbox_story, old_mail_is_never_touched_and_new_mail_is_judged_once_wherever_it_is) {
    // An inbox with years of mail, read and unread, meets a filter that never ran on it.
    std::string fresh = tree.base() + "/fresh";
    ASSERT_EQ(run(tree.base(), {"config", "set", "EnableProtection", "true", "--data-dir", fresh}).code, 0);
    tree.add("", "new", "1.old.test", unknown_sender("old@example.org", "o1@x"), 1);
    tree.add("", "cur", "2.old.test:2,", unknown_sender("old@example.org", "o2@x"), 2);
    tree.add("", "cur", "3.old.test:2,S", unknown_sender("old@example.org", "o3@x"), 3);
    outcome first = run_on(fresh);
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.err.find("the 3 messages already in the inbox are left as they are"), std::string::npos)
        << first.err;
    EXPECT_EQ(tree.files_in("", "new"), std::vector<std::string>{"1.old.test"});
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"2.old.test:2,", "3.old.test:2,S"}));
    EXPECT_TRUE(tree.files_in("Pending", "cur").empty());

    // A friend's mail in new/, a stranger's that an IMAP server moved to cur/ unread, and the old
    // read message marked unread again by the user.
    ASSERT_EQ(run(tree.base(), {"list", "add", "authorized", "ann@example.org", "--data-dir", fresh}).code, 0);
    tree.add("", "new", "10.ann.test", unknown_sender("ann@example.org", "a@x"), 10);
    tree.add("", "cur", "11.bob.test:2,", unknown_sender("bob@example.org", "b@x"), 11);
    fs::rename(tree.root() + "/cur/3.old.test:2,S", tree.root() + "/cur/3.old.test:2,");
    outcome second = run_on(fresh);
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_NE(second.out.find("2 messages handled"), std::string::npos) << second.out;
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"1.old.test", "10.ann.test"}));
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"2.old.test:2,", "3.old.test:2,"}));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"11.bob.test:2,S"}));

    // Kept mail left new, or flagged by a client meanwhile, is not judged again.
    fs::rename(tree.root() + "/new/10.ann.test", tree.root() + "/cur/10.ann.test:2,F");
    outcome third = run_on(fresh);
    EXPECT_NE(third.out.find("0 messages handled"), std::string::npos) << third.out;
    EXPECT_EQ(third.err.find("first run"), std::string::npos) << third.err;
}

TEST_F(judged_inbox_story, watch_filters_unread_mail_that_lands_in_cur) {
    configure();
    running_program watching = start(tree.base(), with_data({"watch", "--maildir", tree.root()}));
    ASSERT_TRUE(eventually([&] { return fs::exists(tree.folder_dir("Pending") + "/cur"); }));
    std::string path = tree.add("", "tmp", "20.cat.test", unknown_sender("cat@example.org", "c@x"), 20);
    ASSERT_EQ(std::rename(path.c_str(), (tree.root() + "/cur/20.cat.test:2,").c_str()), 0);
    EXPECT_TRUE(eventually([&] { return tree.files_in("Pending", "cur").size() == 1; }));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_NE(stopped.out.find("1 message filtered in all"), std::string::npos) << stopped.out;
}
