// `tarnwick run` and `watch`, end to end, on Maildir trees made in temporary folders: each path
// of the sample mailbox, a fresh installation's key, deliveries and removals under a run, mail
// that cannot be read, mail above the size limit.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/mime.h"
#include "program_story.h"

namespace fs = std::filesystem;

namespace {

class run_test : public program_story {
protected:
    // The sample Maildir in place of the tree's, its arrival times those of its names; the content
    // of each message by its unique part.
    std::map<std::string, std::string> copy_sample_mailbox() {
        fs::remove_all(tree.root());
        fs::copy(std::string(TARNWICK_SAMPLES) + "/maildir", tree.root(), fs::copy_options::recursive);
        std::map<std::string, std::string> original;
        for (const auto& [folder, subdir] : {std::pair{"", "new"}, std::pair{"", "cur"}, std::pair{"Archive", "cur"}}) {
            for (const std::string& name : tree.files_in(folder, subdir)) {
                std::string path = tree.folder_dir(folder) + "/" + subdir + "/" + name;
                set_arrival(path, std::stol(name.substr(0, name.find('.'))));
                original[name.substr(0, name.find(':'))] = read_text_file(path);
            }
        }
        return original;
    }
    // Who the stored challenges went to, each checked for its sender, subject and Auto-Submitted.
    std::set<std::string> challenged() const {
        std::set<std::string> to;
        for (const std::string& name : tree.files_in("Outbox", "new")) {
            std::string reply = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
            header_summary headers = parse_headers(reply.substr(0, reply.find("\n\n") + 2));
            to.insert(headers.receiver);
            EXPECT_EQ(headers.sender, "me@home.example");
            EXPECT_EQ(headers.subject, "Please confirm [TWK-TESTKEY]");
            EXPECT_EQ(headers.headers.value("Auto-Submitted"), "auto-replied");
        }
        return to;
    }
};

}  // namespace

TEST_F(run_test, each_path_of_the_sample_mailbox_ends_where_it_should) {
    std::map<std::string, std::string> original = copy_sample_mailbox();
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "remove", "spammer@spam.example"}).code, 0);
    outcome first =
        tarnwick({"run", "--maildir", tree.root(), "--contacts", std::string(TARNWICK_SAMPLES) + "/contacts.vcf"});
    ASSERT_EQ(first.code, 0) << first.err;

    struct row {
        const char* unique;
        const char* place;  // folder/subdir/name after the run
    };
    const row rows[] = {
        {"1703000000.M100000P4242Q0.sample", "cur/1703000000.M100000P4242Q0.sample:2,S"},  // seen before: untouched
        {"1704103200.M100001P4242Q1.sample", "new/1704103200.M100001P4242Q1.sample"},      // contact: kept, new
        {"1704106800.M100002P4242Q2.sample", "cur/1704106800.M100002P4242Q2.sample:2,"},   // released, unread again
        {"1704110400.M100003P4242Q3.sample", ".Pending/cur/1704110400.M100003P4242Q3.sample:2,S"},
        {"1704114000.M100004P4242Q4.sample",
         ".Trash/cur/1704114000.M100004P4242Q4.sample:2,S"},  // bounce of a challenge
        {"1704117600.M100005P4242Q5.sample", ".Trash/cur/1704117600.M100005P4242Q5.sample:2,S"},  // the answer
        {"1704121200.M100006P4242Q6.sample", "new/1704121200.M100006P4242Q6.sample"},             // other bounce: left
        {"1704124800.M100007P4242Q7.sample", ".Trash/cur/1704124800.M100007P4242Q7.sample:2,S"},  // remove list
        {"1704128400.M100008P4242Q8.sample", ".Pending/cur/1704128400.M100008P4242Q8.sample:2,S"},  // to oneself
        {"1704132000.M100009P4242Q9.sample", ".Pending/cur/1704132000.M100009P4242Q9.sample:2,S"},  // list post
        {"1704135600.M100010P4242Q10.sample", "new/1704135600.M100010P4242Q10.sample"},  // non-ASCII, contact
        {"1704139200.M100011P4242Q11.sample", ".Pending/cur/1704139200.M100011P4242Q11.sample:2,S"},
        {"1704142800.M100012P4242Q12.sample", ".Pending/cur/1704142800.M100012P4242Q12.sample:2,S"},   // out of office
        {"1701000000.M100013P4242Q13.sample", ".Archive/cur/1701000000.M100013P4242Q13.sample:2,RS"},  // filed away
    };
    for (const row& r : rows) {
        std::string path = tree.root() + "/" + r.place;
        EXPECT_TRUE(file_exists(path)) << r.place;
        EXPECT_EQ(read_text_file(path), original[r.unique]) << "a message file was changed: " << r.place;
    }
    EXPECT_EQ(tree.files_in("", "new").size(), 3u);

    // The list post and the automatic reply got none.
    EXPECT_EQ(challenged(), (std::set<std::string>{"bob@example.net", "dave@nowhere.example", "jerome@exemple.fr"}));
    {
        SCOPED_TRACE("step: the lists after the run");
        EXPECT_EQ(list("authorized"),
                  (std::vector<std::string>{"alice@example.org", "bob@example.net", "sam@example.org"}));
        EXPECT_EQ(list("pending"), (std::vector<std::string>{"dave@nowhere.example", "frank@example.com",
                                                             "jerome@exemple.fr", "pat@example.com"}));
        EXPECT_EQ(list("remove"), (std::vector<std::string>{"spammer@spam.example"}));
    }
    expect_lines(
        first.out,
        {"12 messages handled", "kept in the inbox             3", "moved to the pending folder   6  (Pending)",
         "deleted (moved to Trash)      3", "challenges sent               3", "challenges withheld           2",
         "released to the inbox         1", "challenge to pat@example.com withheld: mailing-list mail (List-Id)",
         "challenge to frank@example.com withheld: Auto-Submitted: auto-replied",
         "debug log: " + data() + "/OstrelAntiSpam/dlog.log"});
    EXPECT_TRUE(file_exists(data() + "/OstrelAntiSpam/dlog.log"));

    SCOPED_TRACE("step: a second run finds nothing new and changes nothing");
    std::vector<std::string> after_first = tree.snapshot();
    outcome second = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_NE(second.out.find("0 messages handled"), std::string::npos) << second.out;
    EXPECT_EQ(tree.snapshot(), after_first);
}

// A fresh data folder gets an answer key of its own: the key every installation shipped with
// authorizes nobody, and the own key only the sender who was challenged.
TEST_F(run_test, a_new_installation_answers_only_to_its_own_key_and_only_from_the_challenged) {
    ASSERT_EQ(tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false"}).code, 0);
    std::string key = tarnwick({"config", "get", "ARSubjectKey"}).out;
    key = key.substr(0, key.find('\n'));
    std::string seed = read_text_file(data() + "/OstrelAntiSpam/ostrel_original.cfg");
    const std::string shared = "[TWK-CONFIRM]";
    ASSERT_NE(seed.find("ARSubjectKey = " + shared + " ;"), std::string::npos) << seed;
    EXPECT_EQ(key.size(), 14u) << key;  // "[TWK-" and eight characters
    EXPECT_EQ(key.rfind("[TWK-", 0), 0u) << key;
    EXPECT_NE(key, shared);

    auto answer = [](const std::string& who, const std::string& id, const std::string& with) {
        return mail_text({"Return-Path: <" + who + ">", "From: " + who, "To: me@home.example",
                          "Subject: Re: Please confirm your message " + with, "Message-ID: <" + id + ">"});
    };
    {
        SCOPED_TRACE("step: answers before any challenge are challenged themselves");
        tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
        tree.add("", "new", "200.m.test", answer("mallory@example.net", "m1@x", shared), 200);
        tree.add("", "new", "300.e.test", answer("eve@example.net", "e1@x", key), 300);
        ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
        EXPECT_EQ(list("authorized"), std::vector<std::string>{});
        EXPECT_EQ(list("pending"),
                  (std::vector<std::string>{"ann@example.org", "eve@example.net", "mallory@example.net"}));
        for (const std::string& name : tree.files_in("Outbox", "new")) {
            std::string challenge = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
            EXPECT_NE(challenge.find("Subject: Please confirm your message " + key + "\n"), std::string::npos)
                << challenge;
        }
        EXPECT_EQ(tree.files_in("Outbox", "new").size(), 3u);
    }
    SCOPED_TRACE("step: the shipped key authorizes nobody, the own key the challenged sender");
    tree.add("", "new", "400.m.test", answer("mallory@example.net", "m2@x", shared), 400);
    tree.add("", "new", "500.a.test", answer("ann@example.org", "a2@x", key), 500);
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
}

TEST_F(run_test, a_delivery_during_the_run_waits_for_the_next_one) {
    configure();
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    tree.add("", "new", "200.b.test", unknown_sender("ben@example.org", "b@x"), 200);
    std::string late = unknown_sender("lou@example.org", "late@x");
    write_text_file(tree.base() + "/late.eml", late);
    // The first challenge sent delivers a new message the Maildir way, through tmp/.
    std::string deliver = "cat >/dev/null; [ -e '" + tree.base() + "/delivered' ] || { touch '" + tree.base() +
                          "/delivered'; cp '" + tree.base() + "/late.eml' '" + tree.root() +
                          "/tmp/300.late.test' && mv '" + tree.root() + "/tmp/300.late.test' '" + tree.root() +
                          "/new/300.late.test'; }";
    outcome during = tarnwick({"run", "--maildir", tree.root(), "--sendmail", sendmail_script("deliver", deliver)});
    ASSERT_EQ(during.code, 0) << during.err;
    EXPECT_NE(during.out.find("2 messages handled"), std::string::npos) << during.out;
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"100.a.test:2,S", "200.b.test:2,S"}));
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"300.late.test"}));
    EXPECT_EQ(read_text_file(tree.root() + "/new/300.late.test"), late);

    SCOPED_TRACE("step: the next run");
    outcome next = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(next.code, 0) << next.err;
    EXPECT_NE(next.out.find("1 message handled"), std::string::npos) << next.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 3u);
}

TEST_F(run_test, messages_removed_under_the_run_are_skipped_without_harm) {
    configure();
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    tree.add("", "new", "200.b.test", unknown_sender("ben@example.org", "b@x"), 200);
    tree.add("", "new", "300.c.test", unknown_sender("cat@example.org", "c@x"), 300);
    // While Ann is challenged, another client takes away both her message and Ben's.
    std::string remove =
        "cat >/dev/null; rm -f '" + tree.root() + "/new/100.a.test' '" + tree.root() + "/new/200.b.test'";
    outcome removed = tarnwick({"run", "--maildir", tree.root(), "--sendmail", sendmail_script("remove", remove)});
    ASSERT_EQ(removed.code, 0) << removed.err;
    EXPECT_NE(removed.out.find("gone before or while handled  2"), std::string::npos) << removed.out;
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"300.c.test:2,S"}));
    EXPECT_TRUE(tree.files_in("", "new").empty());
    EXPECT_EQ(list("pending"), (std::vector<std::string>{"ann@example.org", "cat@example.org"}));
}

TEST_F(run_test, an_authorization_without_the_maildir_is_released_by_the_next_run) {
    configure();
    tree.add("Pending", "cur", "100.a.test:2,S", unknown_sender("dan@example.org", "d1@x"), 100);
    tree.add("Pending", "cur", "200.b.test:2,S", unknown_sender("fay@example.org", "f1@x"), 200);
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "dan@example.org"}).code, 0);
    EXPECT_TRUE(tree.files_in("", "cur").empty());

    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_EQ(tree.files_in("", "cur"), std::vector<std::string>{"100.a.test:2,"});
    EXPECT_EQ(tree.files_in("Pending", "cur"), std::vector<std::string>{"200.b.test:2,S"});
}

#ifdef TARNWICK_FAULT_SHIM
TEST_F(run_test, mail_that_cannot_be_read_stays_new_and_mail_without_a_sender_is_named) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    // A read error on a contact's message: the filter would have parked it as sender-less mail.
    std::string broken = unknown_sender("ann@example.org", "broken@x");
    tree.add("", "new", "100.broken.test", broken, 100);
    tree.add("", "new", "200.nofrom.test", mail_text({"To: me@home.example", "Subject: Who am I"}), 200);
    tree.add("", "new", "300.empty.test", mail_text({"From: <>", "To: me@home.example", "Subject: Empty"}), 300);
    tree.add("", "new", "400.control.test", mail_text({"From: b\x01ob@example.net", "To: me@home.example"}), 400);
    tree.add("", "new", "500.ann.test", unknown_sender("ann@example.org", "fine@x"), 500);
    bool as_root = ::geteuid() == 0;  // mode 000 stops only others
    if (!as_root) {
        tree.add("", "new", "600.closed.test", unknown_sender("ann@example.org", "closed@x"), 600);
        fs::permissions(tree.root() + "/new/600.closed.test", fs::perms::none);
    }
    outcome ran = run(tree.base(), with_data({"run", "--maildir", tree.root()}), "",
                      {"LD_PRELOAD=" TARNWICK_FAULT_SHIM, "TARNWICK_SHIM_FAIL=read", "TARNWICK_SHIM_ERRNO=5",
                       "TARNWICK_SHIM_PATH=100.broken.test"});
    EXPECT_EQ(ran.code, 1) << ran.out << ran.err;
    expect_lines(ran.out, {"message 100.broken.test cannot be read (Input/output error); left in new/",
                           "message 200.nofrom.test has no usable sender; parked in Pending",
                           "message 300.empty.test has no usable sender; parked in Pending",
                           "message 400.control.test has no usable sender; parked in Pending"});
    EXPECT_EQ(ran.out.find("500.ann.test"), std::string::npos) << ran.out;
    if (!as_root) expect_lines(ran.out, {"message 600.closed.test cannot be read (Permission denied); left in new/"});
    std::vector<std::string> left = {"100.broken.test", "500.ann.test"};  // Ann's kept: new still
    if (!as_root) left.push_back("600.closed.test");
    EXPECT_EQ(tree.files_in("", "new"), left);
    EXPECT_EQ(read_text_file(tree.root() + "/new/100.broken.test"), broken);
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 3u);

    SCOPED_TRACE("step: readable again, the next run filters it like any other");
    if (!as_root) fs::permissions(tree.root() + "/new/600.closed.test", fs::perms::owner_read | fs::perms::owner_write);
    outcome next = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(next.code, 0) << next.out << next.err;
    EXPECT_EQ(tree.files_in("", "new"), left) << "kept, each judged once";
    EXPECT_TRUE(tree.files_in("", "cur").empty());
}
#endif

// Mail above --max-message-size has only its header read: a large message from a friend costs
// the run less than its size in memory, not several times it.
TEST_F(run_test, mail_above_the_size_limit_costs_no_memory_for_its_body) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    // Written piece by piece: a program started from this one starts its peak at this one's.
    const std::size_t size = std::size_t{48} << 20;
    std::string path = tree.add("", "new", "100.big.test",
                                mail_text({"From: ann@example.org", "To: me@home.example", "Subject: Photos"}, ""));
    {
        std::ofstream out(path, std::ios::app | std::ios::binary);
        std::string lines;
        for (int i = 0; i < 1000; ++i) lines += std::string(76, 'x') + "\n";
        for (std::size_t written = 0; written < size; written += lines.size()) out << lines;
    }
    rusage own{};
    ::getrusage(RUSAGE_SELF, &own);
    outcome ran = tarnwick({"run", "--maildir", tree.root(), "--max-message-size", "1M"});
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_NE(ran.out.find("kept in the inbox             1"), std::string::npos) << ran.out;
    EXPECT_LT(ran.peak_kilobytes, own.ru_maxrss + static_cast<long>(size / 1024)) << "the body was read";
}

TEST_F(run_test, watch_handles_arrivals_until_it_is_stopped) {
    configure();
    running_program watching = start(tree.base(), with_data({"watch", "--maildir", tree.root()}));
    ASSERT_TRUE(eventually([&] { return file_exists(tree.folder_dir("Pending") + "/cur"); }))
        << "SetMailer makes the pending folder";
    std::string path = tree.add("", "tmp", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    ASSERT_EQ(std::rename(path.c_str(), (tree.root() + "/new/100.a.test").c_str()), 0);
    EXPECT_TRUE(eventually([&] { return tree.files_in("Pending", "cur").size() == 1; }));
    EXPECT_TRUE(eventually([&] { return tree.files_in("Outbox", "new").size() == 1; }));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_EQ(stopped.code, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("1 message handled"), std::string::npos) << stopped.out;
    EXPECT_EQ(tarnwick({"list", "show", "pending"}).out, "ann@example.org\n") << "the lock went with the process";
}
