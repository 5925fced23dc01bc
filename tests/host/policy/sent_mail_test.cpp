// The sent folder's index and what is read from sent mail.
#include <gtest/gtest.h>

#include "maildir_fixture.h"
#include "policy/sent_mail.h"
#include "store/maildir_store.h"

TEST(sent_mail, only_whole_valid_recipients_count) {
    struct row {
        std::string headers;
        std::vector<std::string> recipients;
    };
    const row rows[] = {
        {"To: Ann <ANN@example.org>, bob@example.net\nCc: ann@example.org\nBcc: cat@example.com\n",
         {"ann@example.org", "bob@example.net", "cat@example.com"}},
        {"To: undisclosed-recipients:;\n", {}},
        {"To: team: dan@example.org, \"a,b\"@example.org;\n", {"dan@example.org"}},
        {"To: <x@>, =?utf-8?q?=0D=0A?= <eve@example.org>\nReply-To: fay@example.org\n", {"eve@example.org"}},
        {"Subject: no recipients\n", {}},
    };
    for (const row& r : rows)
        EXPECT_EQ(recipients_of(parse_headers("From: me@home.example\n" + r.headers + "\n")), r.recipients)
            << r.headers;
}

TEST(sent_mail, a_corrupt_or_foreign_index_means_reading_everything_again) {
    maildir_tree tree;
    tree.make_folder("Sent");
    tree.add("Sent", "cur", "1.a:2,S", "From: me@home.example\nTo: ann@example.org\nMessage-ID: <s1@home>\n\n");
    std::string sent = tree.folder_dir("Sent"), path = tree.base() + "/index";
    std::shared_ptr<maildir_store> store = maildir_store::open(tree.root());
    std::string problem;
    sent_mail_index first = sent_mail_index::load(path, *store, "Sent", problem);
    EXPECT_EQ(first.update().recipients, (std::vector<std::string>{"ann@example.org"}));
    ASSERT_TRUE(first.save(path));
    EXPECT_TRUE(first.is_own("me@home.example"));
    EXPECT_TRUE(first.answers_user(parse_headers("References: <x@y>\n <s1@home>\n\n")));
    EXPECT_FALSE(first.answers_user(parse_headers("In-Reply-To: <s2@home>\n\n")));

    sent_mail_index again = sent_mail_index::load(path, *store, "Sent", problem);
    EXPECT_EQ(again.update().messages_read, 0u);
    EXPECT_TRUE(again.answers_user(parse_headers("In-Reply-To: <s1@home>\n\n")));
    EXPECT_TRUE(problem.empty()) << problem;

    std::string saved = read_text_file(path);
    std::string foreign = saved;
    foreign.replace(foreign.find("folder " + sent), 7 + sent.size(), "folder /elsewhere/.Sent");
    write_text_file(path, foreign);
    EXPECT_EQ(sent_mail_index::load(path, *store, "Sent", problem).update().messages_read, 1u);
    EXPECT_TRUE(problem.empty()) << problem;
    write_text_file(path, saved + "garbage\n");
    EXPECT_EQ(sent_mail_index::load(path, *store, "Sent", problem).update().messages_read, 1u);
    EXPECT_NE(problem.find("cannot be understood"), std::string::npos) << problem;
}

// An index written before recipients were kept still loads: its messages are read again for
// their recipients only, so that no friend the user has since taken off the list comes back.
TEST(sent_mail, an_index_without_recipients_learns_them_without_new_friends) {
    maildir_tree tree;
    tree.add("Sent", "cur", "1.a:2,S", "From: me@home.example\nTo: ann@example.org\nMessage-ID: <s1@home>\n\n");
    tree.add("Sent", "cur", "2.b:2,S", "From: me@home.example\nTo: bob@example.org\nMessage-ID: <s2@home>\n\n");
    std::string sent = tree.folder_dir("Sent"), path = tree.base() + "/index";
    std::shared_ptr<maildir_store> store = maildir_store::open(tree.root());
    write_text_file(path, "tarnwick sent mail index 1\nfolder " + sent +
                              "\nown me@home.example\nread 1.a\t<s1@home>\nread gone.c\t<s3@home>\n");
    std::string problem;
    sent_mail_index index = sent_mail_index::load(path, *store, "Sent", problem);
    sent_mail_index::news found = index.update();
    EXPECT_TRUE(problem.empty()) << problem;
    EXPECT_EQ(found.messages_read, 1u);
    EXPECT_EQ(found.recipients, (std::vector<std::string>{"bob@example.org"}));
    header_summary reply = parse_headers("In-Reply-To: <s1@home>\n\n");
    EXPECT_TRUE(index.answers_user(reply, "Ann@Example.org"));
    EXPECT_FALSE(index.answers_user(reply, "bob@example.org"));
    EXPECT_FALSE(index.answers_user(parse_headers("References: <s3@home>\n\n"), "ann@example.org"));

    // Owed friends and the recipients are kept; a scratch copy of the folder is the same folder.
    index.owe("cat@example.org");
    ASSERT_TRUE(index.save(path));
    write_text_file(path + ".copy", read_text_file(path));
    sent_mail_index again =
        sent_mail_index::load(path + ".copy", *maildir_store::open(tree.base() + "/scratch"), "Sent", problem, sent);
    EXPECT_EQ(again.owed(), (std::set<std::string>{"cat@example.org"}));
    EXPECT_TRUE(again.answers_user(reply, "ann@example.org"));
    again.settle("cat@example.org");
    EXPECT_TRUE(again.owed().empty());
}
