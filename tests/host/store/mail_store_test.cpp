// The mail store's handles over the Maildir: what the mailer above relies on of any store.
#include <gtest/gtest.h>

#include <cstdio>

#include "maildir_fixture.h"
#include "store/maildir_store.h"

// One message through what other clients and the filter do to it, each step checked where the
// handle says the message is and where the file is.
TEST(mail_store, a_handle_follows_its_message_and_keeps_its_id_and_flags) {
    maildir_tree tree;
    std::shared_ptr<maildir_store> store = maildir_store::open(tree.root());
    std::string text = mail_text({"From: bob@example.net"});
    tree.add("", "new", "1.A.host", text, 100);
    tree.add("Pending", "cur", "1.A.host:2,FS", "another message of the same name");
    message_ref m = store->open_arrival("1.A.host", nullptr);
    ASSERT_TRUE(m);
    // Another client marks it read and flagged: found again by its id.
    ASSERT_EQ(std::rename((tree.root() + "/new/1.A.host").c_str(), (tree.root() + "/cur/1.A.host:2,FS").c_str()), 0);
    ASSERT_TRUE(m->locate());
    EXPECT_EQ(m->id(), "1.A.host");
    EXPECT_TRUE(m->seen());
    // Moved where its name is taken: a fresh id, the flags and arrival kept.
    ASSERT_TRUE(m->move_to("Pending").ok());
    EXPECT_EQ(m->folder(), "Pending");
    EXPECT_NE(m->id(), "1.A.host");
    EXPECT_TRUE(store->holds("Pending", m->id()));
    EXPECT_EQ(m->place(), "cur/" + m->id() + ":2,FS");
    EXPECT_EQ(m->arrival().tv_sec, 100);
    // Deleted the way the mailer deletes: into Trash, made for it, the file whole.
    ASSERT_TRUE(m->move_to("Trash").ok());
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{m->id() + ":2,FS"}));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"1.A.host:2,FS"}));
    EXPECT_EQ(m->headers()->sender, "bob@example.net");
    // Gone under it: every question says so, and no move counts as a failure.
    ASSERT_EQ(std::remove((tree.folder_dir("Trash") + "/cur/" + m->id() + ":2,FS").c_str()), 0);
    EXPECT_FALSE(m->locate());
    EXPECT_EQ(m->move_to("").what, store_result::gone);
    EXPECT_FALSE(m->move_failed());
}
