// The real `tarnwick` program, end to end, on Maildir trees made in temporary folders: each path
// of the sample mailbox, deliveries and removals under a run, two runs at once, wrong arguments.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "common/mime.h"
#include "maildir_fixture.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

std::string unknown_sender(const std::string& who, const std::string& id) {
    return mail_text({"Return-Path: <" + who + ">", "Delivered-To: me@home.example", "From: " + who,
                      "To: me@home.example", "Subject: Hello from " + who, "Message-ID: <" + id + ">"});
}

class tarnwick_program_test : public testing::Test {
protected:
    // The data folder of every call, with protection on and the demo's key.
    std::vector<std::string> with_data(std::vector<std::string> args) const {
        args.push_back("--data-dir");
        args.push_back(data());
        return args;
    }
    std::string data() const { return tree.base() + "/data"; }
    outcome tarnwick(const std::vector<std::string>& args, const std::string& input = "") {
        return run(tree.base(), with_data(args), input);
    }
    void configure() {
        outcome set = tarnwick({"config", "set", "EnableProtection", "true", "MarkBlockedAsRead", "true",
                                "ARSubjectKey", "[TWK-TESTKEY]", "ARSubject", "Please confirm [TWK-TESTKEY]"});
        ASSERT_EQ(set.code, 0) << set.err;
    }
    std::vector<std::string> list(const std::string& name) {
        outcome shown = tarnwick({"list", "show", name});
        EXPECT_EQ(shown.code, 0) << shown.err;
        return lines_of(shown.out);
    }

    // A --sendmail command: a shell script with `body`, which takes the arguments it is given.
    std::string sendmail_script(const std::string& name, const std::string& body) const {
        std::string path = tree.base() + "/" + name + ".sh";
        write_text_file(path, body + "\n");
        return "sh '" + path + "'";
    }

    // A run that holds its locks while it "sends" its one challenge, until go_file() appears.
    running_program start_held_run() {
        tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
        std::string started = tree.base() + "/started";
        std::string slow = "cat >/dev/null; touch '" + started + "'; i=0; while [ ! -e '" + go_file() +
                           "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done";
        running_program held = start(
            tree.base(), with_data({"run", "--maildir", tree.root(), "--sendmail", sendmail_script("slow", slow)}));
        if (!eventually([&] { return file_exists(started); })) held.pid = -1;
        return held;
    }
    std::string go_file() const { return tree.base() + "/go"; }
    // Lets the held run finish once `waiting` says it waits; then `waiting` runs and finds nothing
    // left to do. The held run's outcome.
    outcome finish_held_run(running_program& held, running_program& waiting) {
        EXPECT_TRUE(eventually(
            [&] { return read_text_file(waiting.err_path).find("waiting for the other run") != std::string::npos; }));
        write_text_file(go_file(), "");
        outcome held_done = held.wait();
        outcome waited = waiting.wait();
        EXPECT_EQ(held_done.code, 0) << held_done.err;
        EXPECT_EQ(waited.code, 0) << waited.err;
        EXPECT_NE(waited.out.find("0 messages handled"), std::string::npos) << waited.out;
        return held_done;
    }

    maildir_tree tree;
};

}  // namespace

TEST_F(tarnwick_program_test, each_path_of_the_sample_mailbox_ends_where_it_should) {
    fs::remove_all(tree.root());
    fs::copy(std::string(TARNWICK_SAMPLES) + "/maildir", tree.root(), fs::copy_options::recursive);
    std::map<std::string, std::string> original;  // unique part to content
    for (const auto& [folder, subdir] : {std::pair{"", "new"}, std::pair{"", "cur"}, std::pair{"Archive", "cur"}}) {
        for (const std::string& name : tree.files_in(folder, subdir)) {
            std::string path = tree.folder_dir(folder) + "/" + subdir + "/" + name;
            set_arrival(path, std::stol(name.substr(0, name.find('.'))));
            original[name.substr(0, name.find(':'))] = read_text_file(path);
        }
    }
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
        {"1704103200.M100001P4242Q1.sample", "cur/1704103200.M100001P4242Q1.sample:2,"},   // contact: kept, unread
        {"1704106800.M100002P4242Q2.sample", "cur/1704106800.M100002P4242Q2.sample:2,"},   // released, unread again
        {"1704110400.M100003P4242Q3.sample", ".Pending/cur/1704110400.M100003P4242Q3.sample:2,S"},
        {"1704114000.M100004P4242Q4.sample",
         ".Trash/cur/1704114000.M100004P4242Q4.sample:2,S"},  // bounce of a challenge
        {"1704117600.M100005P4242Q5.sample", ".Trash/cur/1704117600.M100005P4242Q5.sample:2,S"},  // the answer
        {"1704121200.M100006P4242Q6.sample", "cur/1704121200.M100006P4242Q6.sample:2,"},          // other bounce: left
        {"1704124800.M100007P4242Q7.sample", ".Trash/cur/1704124800.M100007P4242Q7.sample:2,S"},  // remove list
        {"1704128400.M100008P4242Q8.sample", ".Pending/cur/1704128400.M100008P4242Q8.sample:2,S"},  // to oneself
        {"1704132000.M100009P4242Q9.sample", ".Pending/cur/1704132000.M100009P4242Q9.sample:2,S"},  // list post
        {"1704135600.M100010P4242Q10.sample", "cur/1704135600.M100010P4242Q10.sample:2,"},  // non-ASCII, contact
        {"1704139200.M100011P4242Q11.sample", ".Pending/cur/1704139200.M100011P4242Q11.sample:2,S"},
        {"1704142800.M100012P4242Q12.sample", ".Pending/cur/1704142800.M100012P4242Q12.sample:2,S"},   // out of office
        {"1701000000.M100013P4242Q13.sample", ".Archive/cur/1701000000.M100013P4242Q13.sample:2,RS"},  // filed away
    };
    for (const row& r : rows) {
        std::string path = tree.root() + "/" + r.place;
        EXPECT_TRUE(file_exists(path)) << r.place;
        EXPECT_EQ(read_text_file(path), original[r.unique]) << "a message file was changed: " << r.place;
    }
    EXPECT_TRUE(tree.files_in("", "new").empty());

    // Challenges went to Bob, Dave and Jérôme; the list post and the automatic reply got none.
    std::set<std::string> answered;
    for (const std::string& name : tree.files_in("Outbox", "new")) {
        std::string reply = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
        header_summary headers = parse_headers(reply.substr(0, reply.find("\n\n") + 2));
        answered.insert(headers.receiver);
        EXPECT_EQ(headers.sender, "me@home.example");
        EXPECT_EQ(headers.subject, "Please confirm [TWK-TESTKEY]");
        EXPECT_EQ(headers.headers.value("Auto-Submitted"), "auto-replied");
    }
    EXPECT_EQ(answered, (std::set<std::string>{"bob@example.net", "dave@nowhere.example", "jerome@exemple.fr"}));

    EXPECT_EQ(list("authorized"),
              (std::vector<std::string>{"alice@example.org", "bob@example.net", "sam@example.org"}));
    EXPECT_EQ(list("pending"), (std::vector<std::string>{"dave@nowhere.example", "frank@example.com",
                                                         "jerome@exemple.fr", "pat@example.com"}));
    EXPECT_EQ(list("remove"), (std::vector<std::string>{"spammer@spam.example"}));

    for (const std::string& line : std::vector<std::string>{
             "12 messages handled", "kept in the inbox             3", "moved to the pending folder   6  (Pending)",
             "deleted (moved to Trash)      3", "challenges sent               3", "challenges withheld           2",
             "released to the inbox         1", "challenge to pat@example.com withheld: mailing-list mail (List-Id)",
             "challenge to frank@example.com withheld: Auto-Submitted: auto-replied",
             "debug log: " + data() + "/OstrelAntiSpam/dlog.log"})
        EXPECT_NE(first.out.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << first.out;
    EXPECT_TRUE(file_exists(data() + "/OstrelAntiSpam/dlog.log"));

    // A second run finds nothing new and changes nothing.
    std::vector<std::string> after_first = tree.snapshot();
    outcome second = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_NE(second.out.find("0 messages handled"), std::string::npos) << second.out;
    EXPECT_EQ(tree.snapshot(), after_first);
}

// A fresh data folder gets an answer key of its own: the key every installation shipped with
// authorizes nobody, and the own key only the sender who was challenged.
TEST_F(tarnwick_program_test, a_new_installation_answers_only_to_its_own_key_and_only_from_the_challenged) {
    ASSERT_EQ(tarnwick({"config", "set", "EnableProtection", "true"}).code, 0);
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
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    tree.add("", "new", "200.m.test", answer("mallory@example.net", "m1@x", shared), 200);
    tree.add("", "new", "300.e.test", answer("eve@example.net", "e1@x", key), 300);
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    EXPECT_EQ(list("authorized"), std::vector<std::string>{});
    EXPECT_EQ(list("pending"), (std::vector<std::string>{"ann@example.org", "eve@example.net", "mallory@example.net"}));
    for (const std::string& name : tree.files_in("Outbox", "new")) {
        std::string challenge = read_text_file(tree.folder_dir("Outbox") + "/new/" + name);
        EXPECT_NE(challenge.find("Subject: Please confirm your message " + key + "\n"), std::string::npos) << challenge;
    }
    EXPECT_EQ(tree.files_in("Outbox", "new").size(), 3u);

    tree.add("", "new", "400.m.test", answer("mallory@example.net", "m2@x", shared), 400);
    tree.add("", "new", "500.a.test", answer("ann@example.org", "a2@x", key), 500);
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
}

TEST_F(tarnwick_program_test, a_delivery_during_the_run_waits_for_the_next_one) {
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

    outcome next = tarnwick({"run", "--maildir", tree.root()});
    ASSERT_EQ(next.code, 0) << next.err;
    EXPECT_NE(next.out.find("1 message handled"), std::string::npos) << next.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 3u);
}

TEST_F(tarnwick_program_test, messages_removed_under_the_run_are_skipped_without_harm) {
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

TEST_F(tarnwick_program_test, two_runs_at_once) {
    configure();
    running_program first = start_held_run();
    ASSERT_GT(first.pid, 0);

    outcome refused = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(refused.code, 75);
    EXPECT_NE(refused.err.find("another run holds " + data() + "/OstrelAntiSpam"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pid " + std::to_string(first.pid)), std::string::npos) << refused.err;
    EXPECT_EQ(tarnwick({"config", "show"}).code, 75);

    running_program waiting = start(tree.base(), with_data({"run", "--maildir", tree.root(), "--wait"}));
    outcome first_done = finish_held_run(first, waiting);
    EXPECT_NE(first_done.out.find("1 message handled"), std::string::npos);
}

TEST_F(tarnwick_program_test, one_run_per_maildir_whatever_its_data_folder) {
    configure();
    running_program first = start_held_run();
    ASSERT_GT(first.pid, 0);

    // Another data folder: it would challenge Ann a second time.
    std::string other = tree.base() + "/other";
    outcome refused = run(tree.base(), {"run", "--maildir", tree.root(), "--data-dir", other});
    EXPECT_EQ(refused.code, 75);
    EXPECT_NE(refused.err.find("another run holds the Maildir " + tree.root()), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pid " + std::to_string(first.pid)), std::string::npos) << refused.err;
    outcome release = run(
        tree.base(), {"list", "add", "authorized", "ann@example.org", "--maildir", tree.root(), "--data-dir", other});
    EXPECT_EQ(release.code, 75) << release.err;

    running_program waiting = start(tree.base(), {"run", "--maildir", tree.root(), "--data-dir", other, "--wait"});
    finish_held_run(first, waiting);
    EXPECT_TRUE(file_exists(tree.root() + "/.tarnwick.lock"));
}

#ifdef TARNWICK_FAULT_SHIM
TEST_F(tarnwick_program_test, mail_that_cannot_be_read_stays_new_and_mail_without_a_sender_is_named) {
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
    for (const std::string& line :
         {std::string("message 100.broken.test cannot be read (Input/output error); left in new/"),
          std::string("message 200.nofrom.test has no usable sender; parked in Pending"),
          std::string("message 300.empty.test has no usable sender; parked in Pending"),
          std::string("message 400.control.test has no usable sender; parked in Pending")})
        EXPECT_NE(ran.out.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << ran.out;
    EXPECT_EQ(ran.out.find("500.ann.test"), std::string::npos) << ran.out;
    if (!as_root) {
        EXPECT_NE(ran.out.find("message 600.closed.test cannot be read (Permission denied); left in new/"),
                  std::string::npos)
            << ran.out;
    }
    std::vector<std::string> left = {"100.broken.test"};
    if (!as_root) left.push_back("600.closed.test");
    EXPECT_EQ(tree.files_in("", "new"), left);
    EXPECT_EQ(read_text_file(tree.root() + "/new/100.broken.test"), broken);
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"500.ann.test:2,"}));
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 3u);

    // Readable again: the next run filters it like any other.
    if (!as_root) fs::permissions(tree.root() + "/new/600.closed.test", fs::perms::owner_read | fs::perms::owner_write);
    outcome next = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(next.code, 0) << next.out << next.err;
    EXPECT_TRUE(tree.files_in("", "new").empty());
    EXPECT_EQ(tree.files_in("", "cur").size(), as_root ? 2u : 3u);
}
#endif

TEST_F(tarnwick_program_test, wrong_arguments_exit_with_two_and_write_nothing) {
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    std::string not_a_maildir = tree.base() + "/plain";
    fs::create_directory(not_a_maildir);
    write_text_file(tree.base() + "/file", "x");
    struct row {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string root = tree.root(), base = tree.base();
    const row rows[] = {
        {{}, "a command is needed"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"run"}, "run needs --maildir"},
        {{"run", "--maildir"}, "--maildir needs a value"},
        {{"run", "--maildir", base + "/missing"}, "is not a folder"},
        {{"run", "--maildir", base + "/file"}, "is not a folder"},
        {{"run", "--maildir", not_a_maildir}, "not a readable Maildir"},
        {{"run", "--maildir", root, "--colour"}, "unknown option --colour"},
        {{"run", "--maildir", root, "--maildir", root}, "--maildir is given twice"},
        {{"run", "--maildir", root, "extra"}, "unexpected argument extra"},
        {{"run", "--maildir", root, "--contacts", base + "/missing.vcf"}, "missing.vcf"},
        {{"watch", "--maildir", root, "--wait=yes"}, "--wait takes no value"},
        {{"config"}, "config needs show, get or set"},
        {{"config", "set", "Colour", "red"}, "unknown setting Colour"},
        {{"config", "set", "EnableProtection", "maybe"}, "use true or false"},
        {{"config", "set", "LanguageId", "70000"}, "at most 65535"},
        {{"config", "set", "PendingToBlockedTimeo", "-1"}, "whole number"},
        {{"config", "set", "ARSubject", ";"}, "a text of only ';' reads back as empty"},
        {{"config", "set", "ARSubject", "two\nlines"}, "line breaks"},
        {{"config", "set", "ARSubjectKey", " [K]"}, "it cannot start or end with a blank"},
        {{"config", "set", "ARMessage", "Bye\t"}, "it cannot start or end with a blank"},
        {{"config", "set", "PendingFolderName", "Spam"}, "cannot be changed"},
        {{"config", "set", "EnableProtection", "true", "ARSubject"}, "ARSubject needs a value"},
        {{"config", "get", "HelpDlgEnabled"}, "needs a dialog number"},
        {{"list", "add", "friends", "bob@example.net"}, "unknown list friends"},
        {{"list", "add", "authorized", "Bob Example"}, "no address in: Bob Example"},
        {{"list", "add", "authorized", "@example.net"}, "no address in"},
        {{"list", "add", "authorized", "Bob <bob@example>"}, "no address in"},
        {{"list", "add", "ignore", "ann@example.org, bob@example.org"}, "more than one address in"},
        {{"list", "modify", "ignore", "a@b.cd", "x@y.ef, z@y.ef"}, "more than one address in"},
        {{"list", "modify", "ignore", "bob@example.net"}, "needs OLD and NEW"},
        {{"list", "remove", "pending", "a@b.cd", "--maildir", root}, "--maildir and --contacts go with list add"},
    };
    std::vector<std::string> before = tree.snapshot();
    for (const row& r : rows) {
        // Without --data-dir: the data folder would be made in $HOME/.local/share.
        outcome result = run(base, r.args);
        EXPECT_EQ(result.code, 2) << r.says << "\n" << result.err;
        EXPECT_NE(result.err.find(r.says), std::string::npos) << "expected \"" << r.says << "\" in\n" << result.err;
        EXPECT_FALSE(file_exists(base + "/.local")) << r.says << ": the data folder was made";
    }
    outcome bad_data = run(base, {"config", "show", "--data-dir", base + "/file"});
    EXPECT_EQ(bad_data.code, 2);
    EXPECT_NE(bad_data.err.find("is not a folder"), std::string::npos) << bad_data.err;
    EXPECT_EQ(tree.snapshot(), before);
    EXPECT_EQ(run(base, {"--help"}).code, 0);
    EXPECT_NE(run(base, {"run", "--help"}).out.find("--sendmail CMD"), std::string::npos);
}

TEST_F(tarnwick_program_test, every_command_the_overview_lists_answers_its_own_help) {
    outcome overview = run(tree.base(), {"--help"});
    ASSERT_EQ(overview.code, 0) << overview.err;
    // A command's line starts two blanks in; the lines that continue a summary start further in.
    std::vector<std::string> listed;
    for (const std::string& line : lines_of(overview.out)) {
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ')
            listed.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    EXPECT_EQ(listed,
              (std::vector<std::string>{"run", "watch", "deliver", "config", "list", "stats", "pending", "digest"}));
    for (const std::string& name : listed) {
        outcome help = run(tree.base(), {name, "--help"});
        EXPECT_EQ(help.code, 0) << name << ": " << help.err;
        EXPECT_EQ(help.out.rfind("usage: tarnwick ", 0), 0u) << name << ":\n" << help.out;
        EXPECT_NE(help.out.find("tarnwick " + name), std::string::npos) << name << ":\n" << help.out;
    }
    EXPECT_FALSE(file_exists(tree.base() + "/.local")) << "asking for help made the data folder";
}

TEST_F(tarnwick_program_test, settings_are_read_and_written_by_name) {
    outcome set = tarnwick({"config", "set", "enableprotection", "yes", "PendingToBlockedTimeo", "21", "ARMessage", "-",
                            "HelpDlgEnabled", "3", "off"},
                           "Hello,\r\nplease confirm.\n");
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_NE(set.out.find("ARMessage = Hello,\n            please confirm."), std::string::npos) << set.out;
    EXPECT_EQ(tarnwick({"config", "get", "EnableProtection"}).out, "true\n");
    EXPECT_EQ(tarnwick({"config", "get", "PendingToBlockedTimeo"}).out, "21\n");
    EXPECT_EQ(tarnwick({"config", "get", "ARMessage"}).out, "Hello,\nplease confirm.\n");
    EXPECT_EQ(tarnwick({"config", "get", "HelpDlgEnabled", "3"}).out, "false\n");
    EXPECT_EQ(tarnwick({"config", "get", "HelpDlgEnabled", "4"}).out, "true\n");
    std::string file = read_text_file(data() + "/OstrelAntiSpam/ostrel.cfg");
    EXPECT_NE(file.find("PendingToBlockedTimeo = 21 ;\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("ARMessage = Hello,\x01please confirm. ;"), std::string::npos) << file;
    outcome shown = tarnwick({"config", "show"});
    EXPECT_NE(shown.out.find("PendingFolderName = Pending\n"), std::string::npos) << shown.out;
    // A ';' is kept whole through the file.
    ASSERT_EQ(tarnwick({"config", "set", "ARSubject", "Confirm; please [TWK-TESTKEY]"}).code, 0);
    EXPECT_EQ(tarnwick({"config", "get", "ARSubject"}).out, "Confirm; please [TWK-TESTKEY]\n");
    outcome emptied = tarnwick({"config", "set", "ARSubjectKey", ""});
    EXPECT_EQ(emptied.code, 0);
    EXPECT_NE(emptied.err.find("ARSubjectKey is empty"), std::string::npos) << emptied.err;
    outcome mismatch = tarnwick({"config", "set", "ARSubjectKey", "[OTHER]"});
    EXPECT_EQ(mismatch.code, 0);
    EXPECT_NE(mismatch.err.find("ARSubject does not contain ARSubjectKey"), std::string::npos) << mismatch.err;
}

TEST_F(tarnwick_program_test, lists_are_edited_and_verdicts_reach_the_maildir) {
    configure();
    EXPECT_EQ(tarnwick({"list", "add", "authorized", "Bob@Example.NET", ".@friends.example"}).code, 0);
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{".@friends.example", "bob@example.net"}));
    EXPECT_EQ(tarnwick({"list", "add", "ignore", "bob@example.net"}).code, 0);  // one list at a time
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{".@friends.example"}));
    EXPECT_EQ(tarnwick({"list", "modify", "ignore", "BOB@example.net", "carl@example.org"}).code, 0);
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"carl@example.org"}));
    outcome missing = tarnwick({"list", "remove", "ignore", "nobody@example.org"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("nobody@example.org is not on the ignore list"), std::string::npos) << missing.err;
    EXPECT_EQ(tarnwick({"list", "remove", "ignore", "Carl <carl@example.org>"}).code, 0);
    EXPECT_TRUE(list("ignore").empty());
    // Addresses as a mail program shows them are stored as the add-in keeps senders.
    outcome pasted = tarnwick({"list", "add", "ignore", "\"Example, Ann\" <Ann@Example.ORG>", "<Fay@Example.org>",
                               "Gil Example <gil@example.org>"});
    ASSERT_EQ(pasted.code, 0) << pasted.err;
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"ann@example.org", "fay@example.org", "gil@example.org"}));
    EXPECT_EQ(tarnwick({"list", "modify", "ignore", "<ANN@example.org>", "Hal <Hal@Example.org>"}).code, 0);
    EXPECT_EQ(tarnwick({"list", "remove", "ignore", "fay@example.org", "Gil <gil@example.org>"}).code, 0);
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"hal@example.org"}));

    // Authorizing a pending sender releases the mail waiting for it; the remove list deletes.
    tree.add("Pending", "cur", "100.a.test:2,S", unknown_sender("dan@example.org", "d1@x"), 100);
    tree.add("Pending", "cur", "200.b.test:2,S", unknown_sender("dan@example.org", "d2@x"), 200);
    tree.add("", "cur", "300.c.test:2,", unknown_sender("eve@example.org", "e1@x"), 300);
    ASSERT_EQ(tarnwick({"list", "add", "pending", "dan@example.org"}).code, 0);
    outcome released = tarnwick({"list", "add", "authorized", "dan@example.org", "--maildir", tree.root()});
    ASSERT_EQ(released.code, 0) << released.err;
    EXPECT_NE(released.out.find("released to the inbox: 2"), std::string::npos) << released.out;
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"100.a.test:2,", "200.b.test:2,", "300.c.test:2,"}));
    EXPECT_TRUE(list("pending").empty());
    outcome removed = tarnwick({"list", "add", "remove", "eve@example.org", "--maildir", tree.root()});
    ASSERT_EQ(removed.code, 0) << removed.err;
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"300.c.test:2,S"}));
}

TEST_F(tarnwick_program_test, watch_handles_arrivals_until_it_is_stopped) {
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

// A file the program must replace stands as a directory: every write of it fails, as on a full
// disk, and each command must say what was not kept and exit 1.
TEST_F(tarnwick_program_test, writes_that_fail_are_named_and_exit_with_one) {
    configure();
    const std::string store = data() + "/OstrelAntiSpam";
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    fs::remove(store + "/authorized.lst");
    fs::create_directory(store + "/authorized.lst");
    outcome added = tarnwick({"list", "add", "authorized", "bob@example.org"});
    EXPECT_EQ(added.code, 1);
    EXPECT_NE(added.err.find("the authorized list was not saved"), std::string::npos) << added.err;
    EXPECT_EQ(added.out.find("entries"), std::string::npos) << added.out;
    fs::remove(store + "/authorized.lst");

    fs::remove(store + "/ostrel.cfg");
    fs::create_directory(store + "/ostrel.cfg");
    outcome set = tarnwick({"config", "set", "ARSubject", "Changed [TWK-TESTKEY]"});
    EXPECT_EQ(set.code, 1);
    EXPECT_NE(set.err.find("the settings were not saved"), std::string::npos) << set.err;
    fs::remove(store + "/ostrel.cfg");
    configure();

    // The run handles every message it can, then names what failed.
    fs::remove(store + "/pending.lst");
    fs::create_directory(store + "/pending.lst");
    tree.make_folder("Pending");
    tree.add("", "new", "100.a.test", unknown_sender("cat@example.org", "c1@x"), 100);
    outcome unsaved = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(unsaved.code, 1);
    EXPECT_NE(unsaved.out.find("lists not saved"), std::string::npos) << unsaved.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
    fs::remove(store + "/pending.lst");

    // A pending folder whose cur/ cannot take mail: the message stays, and the run says so.
    fs::remove_all(tree.folder_dir("Pending"));
    tree.make_folder("Pending");
    fs::remove(tree.folder_dir("Pending") + "/cur");
    write_text_file(tree.folder_dir("Pending") + "/cur", "not a folder");
    tree.add("", "new", "200.b.test", unknown_sender("dan@example.org", "d1@x"), 200);
    outcome unmoved = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(unmoved.code, 1);
    EXPECT_NE(unmoved.out.find("moves failed                  1"), std::string::npos) << unmoved.out;
    EXPECT_NE(unmoved.out.find("cannot move 200.b.test"), std::string::npos) << unmoved.out;
    EXPECT_EQ(tree.files_in("", "new").size() + tree.files_in("", "cur").size(), 1u);
}

#ifdef TARNWICK_FAULT_SHIM
// The same with the system itself refusing: a full disk at the flush or at the rename.
TEST_F(tarnwick_program_test, a_full_disk_at_flush_or_rename_loses_nothing_and_says_so) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    for (const char* step : {"fsync", "rename"}) {
        std::vector<std::string> full_disk = {"LD_PRELOAD=" TARNWICK_FAULT_SHIM,
                                              std::string("TARNWICK_SHIM_FAIL=") + step, "TARNWICK_SHIM_ERRNO=28"};
        outcome added = run(tree.base(), with_data({"list", "add", "authorized", "bob@example.org"}), "", full_disk);
        EXPECT_EQ(added.code, 1) << step;
        EXPECT_NE(added.err.find("the authorized list was not saved"), std::string::npos) << step << ": " << added.err;
        outcome set =
            run(tree.base(), with_data({"config", "set", "ARSubject", "Changed [TWK-TESTKEY]"}), "", full_disk);
        EXPECT_EQ(set.code, 1) << step;
        EXPECT_NE(set.err.find("the settings were not saved"), std::string::npos) << step << ": " << set.err;
    }
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(tarnwick({"config", "get", "ARSubject"}).out, "Please confirm [TWK-TESTKEY]\n");
}
#endif

TEST_F(tarnwick_program_test, settings_that_hold_nothing_are_reported_once) {
    fs::create_directories(data() + "/OstrelAntiSpam");
    write_text_file(data() + "/OstrelAntiSpam/ostrel.cfg", "// emptied by hand\r\n");
    write_text_file(data() + "/OstrelAntiSpam/ostrel_original.cfg", "");
    const std::string warning =
        "tarnwick: warning: ostrel.cfg in the data folder holds no setting, so protection is off\n";
    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(ran.code, 0) << ran.err;
    auto at = ran.err.find(warning);
    EXPECT_NE(at, std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find(warning, at + 1), std::string::npos) << ran.err;
    EXPECT_NE(read_text_file(data() + "/OstrelAntiSpam/dlog.log")
                  .find("config warnning - ostrel.cfg holds no setting; "
                        "protection is off\r\n"),
              std::string::npos);

    configure();
    outcome configured = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(configured.err.find(warning), std::string::npos) << configured.err;
}

TEST_F(tarnwick_program_test, an_authorization_without_the_maildir_is_released_by_the_next_run) {
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

// Mail above --max-message-size has only its header read: a large message from a friend costs
// the run less than its size in memory, not several times it.
TEST_F(tarnwick_program_test, mail_above_the_size_limit_costs_no_memory_for_its_body) {
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
