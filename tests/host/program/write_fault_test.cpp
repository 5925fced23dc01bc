// Every file operation of a whole command made to fail, one at a time: `tarnwick run` on a mixed
// Maildir and `tarnwick list add authorized ... --maildir` are first run without faults, counting
// their file operations (TARNWICK_FAULT_TRACE), then once for each operation N with the N-th
// failing (TARNWICK_FAULT_AT=N), each time on a fresh copy of the same start. After each failing
// run: no message is lost or there twice, no list or settings file is cut short, nothing is left
// in tmp/, and the run says what it could not write and exits 1 (unless the operation is one
// whose failure does not matter, named in `tolerated`). Then the same command without faults
// must leave everything as the run without faults did. With TARNWICK_TEST_SHOW_TRACE set, the
// steps of the run without faults are printed.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "fault_walk.h"
#include "maildir_fixture.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

// ---- the mailbox

// The answers to challenges in the mixed mailbox, by unique part.
std::set<std::string>& answers() {
    static std::set<std::string> names;
    return names;
}

constexpr long first_arrival = 1704067200;

std::string message(const std::vector<std::string>& fields, const std::string& body = "Hello.\n") {
    std::string text;
    for (const std::string& field : fields) text += field + "\n";
    return text + "To: me@home.example\n\n" + body;
}

// Mail from `address` as a mail server delivers it, with the return path.
std::vector<std::string> from(const std::string& address, const std::string& subject, const std::string& display = "") {
    return {"Return-Path: <" + address + ">", "From: " + (display.empty() ? address : display + " <" + address + ">"),
            "Subject: " + subject};
}

// The settings and lists the runs start from, and strangers with mail waiting in the pending
// folder: waiting0 and waiting1 answer in the mailbox, waiting2 is authorized by `list add`.
void prepare_data_and_waiting_mail(const std::string& base) {
    maildir_tree early;  // only its layout: the mailbox lives in `base`
    std::string root = base + "/Maildir";
    copy_tree(early.root(), root);
    // The runs' HOME is `base`: challenges need an address of the user's to come from.
    fs::create_directories(base + "/.config/tarnwick");
    write_text_file(base + "/.config/tarnwick/config", "own-address = me@home.example\n");
    std::string data = base + "/data";
    start_filter_record(data);
    auto tarnwick = [&](std::vector<std::string> args) {
        args.push_back("--data-dir");
        args.push_back(data);
        outcome result = run(base, args);
        ASSERT_EQ(result.code, 0) << result.out << result.err;
    };
    tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false", "MarkBlockedAsRead", "true",
              "ARSubjectKey", "[TWK-TESTKEY]", "ARSubject", "Please confirm [TWK-TESTKEY]"});
    tarnwick({"list", "add", "remove", "deals0@spam.example", "deals1@spam.example"});
    write_text_file(base + "/contacts.txt",
                    "friend0@friends.example\nfriend1@friends.example\nfriend2@friends.example\n");
    for (int i = 0; i < 3; ++i) {
        std::string name = std::to_string(first_arrival + i) + ".Mwait" + std::to_string(i) + "P1.gen";
        write_text_file(root + "/new/" + name, message(from("waiting" + std::to_string(i) + "@strangers.example",
                                                            "Hello " + std::to_string(i))));
        set_arrival(root + "/new/" + name, first_arrival + i);
    }
    tarnwick({"run", "--maildir", root, "--contacts", base + "/contacts.txt"});
}

// A couple of dozen messages of every kind in the inbox's new/.
void prepare_mixed_mailbox(const std::string& base) {
    prepare_data_and_waiting_mail(base);
    if (::testing::Test::HasFatalFailure()) return;
    // A new contact, so that the contacts are written once.
    write_text_file(base + "/contacts.txt", read_text_file(base + "/contacts.txt") + "friend3@friends.example\n");
    // Sent mail to a new friend, so that a friend is added and the index of sent mail written.
    std::string sent = base + "/Maildir/.Sent";
    for (const char* subdir : {"/tmp", "/new", "/cur"}) fs::create_directories(sent + subdir);
    write_text_file(sent + "/cur/1.sent.gen:2,S",
                    "From: me@home.example\nTo: pal@friends.example\nMessage-ID: <s1@home.example>\n\nHi.\n");
    std::vector<std::vector<std::string>> mail = {
        from("friend0@friends.example", "News", "Friend"),
        from("stranger0@strangers.example", "Offer 0"),
        from("deals0@spam.example", "WIN", "Deals"),
        from("waiting0@strangers.example", "Re: Please confirm [TWK-TESTKEY]"),
        from("friend1@friends.example", "Lunch"),
        from("stranger1@strangers.example", "Offer 1"),
        {"Return-Path: <>", "From: MAILER-DAEMON@mx.home.example (Mail Delivery System)",
         "Subject: Undelivered Mail Returned to Sender", "Auto-Submitted: auto-replied"},
        from("waiting2@strangers.example", "Still there?"),
        from("stranger0@strangers.example", "Offer 0 again"),
        from("friend3@friends.example", "New address"),
        from("deals1@spam.example", "WIN again", "Deals"),
        from("stranger2@strangers.example", "Offer 2"),
        {"From: <>", "Subject: anonymous"},
        from("waiting1@strangers.example", "Re: Please confirm [TWK-TESTKEY]"),
        {"Return-Path: <news@lists.example>", "From: List <news@lists.example>", "Subject: Digest",
         "List-Id: <news.lists.example>"},
        {"Return-Path: <>", "From: Mail Delivery System <Mailer-Daemon@mx.gone.example>",
         "Subject: Mail delivery failed", "Auto-Submitted: auto-replied"},
        from("friend2@friends.example", "Photos"),
        from("stranger3@strangers.example", "Offer 3"),
        from("deals0@spam.example", "WIN more", "Deals"),
        from("stranger1@strangers.example", "Offer 1 again"),
        from("friend0@friends.example", "Later"),
        from("stranger4@strangers.example", "Offer 4"),
    };
    std::string root = base + "/Maildir";
    for (size_t i = 0; i < mail.size(); ++i) {
        long arrival = first_arrival + 100 + 60 * static_cast<long>(i);
        std::string name = std::to_string(arrival) + ".M" + std::to_string(i) + "P1.gen";
        std::string body = "Message " + std::to_string(i) + ".\n";
        // The bounce of a challenge quotes it.
        if (i == 6)
            body =
                "Your message could not be delivered.\n\n--- returned headers ---\nFrom: me@home.example\n"
                "To: lost@strangers.example\nSubject: Please confirm [TWK-TESTKEY]\n";
        if (std::any_of(mail[i].begin(), mail[i].end(),
                        [](const std::string& field) { return field.rfind("Subject: Re: Please confirm", 0) == 0; }))
            answers().insert(unique_of(name));
        write_text_file(root + "/new/" + name, message(mail[i], body));
        set_arrival(root + "/new/" + name, arrival);
    }
}

// The strangers' pending mail judged by moving, as an IMAP server moves it (under a new name):
// waiting2's into the inbox, waiting1's into the junk folder.
void prepare_moved_pending_mail(const std::string& base) {
    prepare_data_and_waiting_mail(base);
    if (::testing::Test::HasFatalFailure()) return;
    std::string root = base + "/Maildir";
    for (const char* subdir : {"/tmp", "/new", "/cur"}) fs::create_directories(root + "/.Junk" + subdir);
    for (const auto& entry : fs::directory_iterator(root + "/.Pending/cur")) {
        std::string name = entry.path().filename().string();
        if (name.find(".Mwait2P") != std::string::npos) fs::rename(entry.path(), root + "/cur/1.moved2.imap:2,S");
        if (name.find(".Mwait1P") != std::string::npos) fs::rename(entry.path(), root + "/.Junk/cur/2.moved1.imap:2,S");
    }
}

bool is_lock_file(const std::string& path) { return path.ends_with("tarnwick.lock"); }

// What both commands rightly let pass.
std::string tolerated_failure(const traced_step& step) {
    if (step.step == "sync_folder")
        return "a folder that cannot be flushed: what was renamed or made in it is there for every reader";
    if (step.step == "write" && is_lock_file(step.path))
        return "the lock file's text only says who holds the lock, which is the flock itself";
    return "";
}

// The add-in sends the challenge, then parks the message and notes the sender as pending, each
// whatever became of the step before: a challenge that could not be stored, or written down as
// under way before that, is not sent again.
std::string challenge_not_resent(const traced_step& step) {
    if (step.path.find("/.Outbox/") != std::string::npos) return "a challenge that could not be stored";
    if (step.path.find("challenges-under-way.tsv") != std::string::npos)
        return "a challenge that could not be written down as under way";
    return "";
}

// The add-in takes an answer for one while its sender is written down for release. The answer
// whose move to Trash failed stays in new/, but its sender's release is done by the same run
// and forgets him, so the next run takes the answer for mail from an authorized sender and
// keeps it. Nothing is lost; the user sees the answer.
std::string answer_kept_after_its_release(const traced_step& step, const std::string& unique, const std::string& place,
                                          const std::string&) {
    bool its_move = step.step == "rename" && step.path.find("/.Trash/") != std::string::npos &&
                    unique_of(fs::path(step.path).filename().string()) == unique;
    if (its_move && answers().count(unique) && place.rfind("./new/", 0) == 0)
        return "an answer whose deletion failed is kept once its sender is released";
    return "";
}

// A read state that could not be changed stays as it was: the message is where it belongs,
// only its flags differ, and nothing changes them again.
std::string read_state_kept(const traced_step& step, const std::string& unique, const std::string& place,
                            const std::string& expected_place) {
    bool its_rename = step.step == "rename" && unique_of(fs::path(step.path).filename().string()) == unique;
    if (its_rename && unique_of(place) == unique_of(expected_place)) return "a read state that could not be changed";
    return "";
}

// What may differ after a failed run of `tarnwick run`.
std::string run_may_differ(const traced_step& step, const std::string& unique, const std::string& place,
                           const std::string& expected_place) {
    std::string why = answer_kept_after_its_release(step, unique, place, expected_place);
    return why.empty() ? read_state_kept(step, unique, place, expected_place) : why;
}

}  // namespace

namespace {

// The longest walk, in two halves that run side by side.
void walk_mixed_mailbox(size_t part) {
    walk_every_fault(
        {"tarnwick run",
         prepare_mixed_mailbox,
         {"run", "--maildir", "{dir}/Maildir", "--contacts", "{dir}/contacts.txt", "--data-dir", "{dir}/data"},
         tolerated_failure,
         challenge_not_resent,
         run_may_differ,
         part,
         2});
}

}  // namespace

TEST(write_faults, run_on_a_mixed_mailbox_with_each_odd_write_failing) { walk_mixed_mailbox(0); }
TEST(write_faults, run_on_a_mixed_mailbox_with_each_even_write_failing) { walk_mixed_mailbox(1); }

// Each step of writing down the first challenge as under way, made to fail: that challenge is
// neither stored nor sent, and the run says which file it could not write.
TEST(write_faults, a_challenge_that_cannot_be_written_down_is_not_sent) {
    temp_dir work;
    std::string start = work.file("start");
    prepare_mixed_mailbox(start);
    auto arguments = [](const std::string& dir) {
        return std::vector<std::string>{
            "run", "--maildir", dir + "/Maildir", "--contacts", dir + "/contacts.txt", "--data-dir", dir + "/data"};
    };
    std::string clean = work.file("clean");
    copy_tree(start, clean);
    ASSERT_EQ(run(clean, arguments(clean), "", {"TARNWICK_FAULT_TRACE=" + clean + "/trace"}).code, 0);
    std::multiset<std::string> sent = state_of(clean).challenges;
    ASSERT_EQ(sent.count("stranger0@strangers.example"), 1u);
    // The first challenge is to stranger0; the steps of its record come before it is stored.
    std::vector<long> steps;
    for (const traced_step& step : read_trace(clean + "/trace")) {
        if (step.path.find("/.Outbox/") != std::string::npos) break;
        if (step.path.find("challenges-under-way.tsv") != std::string::npos) steps.push_back(step.number);
    }
    ASSERT_EQ(steps.size(), 4u) << "create_temporary, write, flush, rename";
    for (long n : steps) {
        std::string folder = work.file("step" + std::to_string(n));
        copy_tree(start, folder);
        outcome failed = run(folder, arguments(folder), "", {"TARNWICK_FAULT_AT=" + std::to_string(n)});
        EXPECT_EQ(failed.code, 1) << n;
        EXPECT_NE(failed.out.find("challenge to stranger0@strangers.example failed: cannot write " + folder +
                                  "/data/OstrelAntiSpam/challenges-under-way.tsv"),
                  std::string::npos)
            << n << "\n"
            << failed.out;
        mailbox_state after = state_of(folder);
        EXPECT_EQ(after.challenges.count("stranger0@strangers.example"), 0u) << n;
        EXPECT_EQ(after.challenges.size(), sent.size() - 1) << n;
    }
}

TEST(write_faults, list_add_authorized_with_each_write_failing) {
    walk_every_fault({"tarnwick list add",
                      prepare_data_and_waiting_mail,
                      {"list", "add", "authorized", "waiting2@strangers.example", "--maildir", "{dir}/Maildir",
                       "--data-dir", "{dir}/data"},
                      tolerated_failure,
                      {},
                      read_state_kept});
}

// Without --maildir the release waits in release.lst for the next run: that file is the verdict.
TEST(write_faults, list_add_authorized_without_maildir_with_each_write_failing) {
    walk_every_fault({"tarnwick list add (no Maildir)",
                      prepare_data_and_waiting_mail,
                      {"list", "add", "authorized", "waiting2@strangers.example", "--data-dir", "{dir}/data"},
                      tolerated_failure,
                      {},
                      {}});
}

TEST(write_faults, run_judging_moved_pending_mail_with_each_write_failing) {
    walk_every_fault({"tarnwick run (verdicts by moving)",
                      prepare_moved_pending_mail,
                      {"run", "--maildir", "{dir}/Maildir", "--data-dir", "{dir}/data"},
                      tolerated_failure,
                      {},
                      read_state_kept});
}

// deliver with each of its file operations failing in turn: a failure before the message is
// stored gives 75 and leaves nothing in the Maildir, tmp/ included; any later one gives 0 with the
// message in exactly one folder, and one line on standard error.
TEST(deliver_write_faults, a_failed_step_defers_the_message_or_leaves_it_stored_once) {
    maildir_tree tree;
    std::string data = tree.base() + "/data";
    ASSERT_EQ(run(tree.base(),
                  {"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false", "--data-dir", data})
                  .code,
              0);
    std::string message = mail_text({"From: bob@example.org", "To: me@home.example", "Message-ID: <f@x>"});
    // Each delivery on a fresh copy of the Maildir and of the data folder.
    auto deliver = [&](const std::string& copy, const std::vector<std::string>& environment) {
        copy_tree(tree.root(), copy + "/Maildir");
        copy_tree(data, copy + "/data");
        return run(tree.base(),
                   {"deliver", "-f", "bob@example.org", "--maildir", copy + "/Maildir", "--data-dir", copy + "/data"},
                   message, environment);
    };
    auto stored_copies = [](const std::string& root) {
        int copies = 0, in_tmp = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::string subdir = entry.path().parent_path().filename().string();
            std::string folder = entry.path().parent_path().parent_path().filename().string();
            if (folder == ".Outbox") continue;
            if (subdir == "tmp") ++in_tmp;
            if (subdir == "new" || subdir == "cur") ++copies;
        }
        return std::pair{copies, in_tmp};
    };
    ASSERT_EQ(deliver(tree.base() + "/clean", {"TARNWICK_FAULT_TRACE=" + tree.base() + "/trace"}).code, 0);
    std::vector<traced_step> steps = read_trace(tree.base() + "/trace");
    ASSERT_GT(steps.size(), 5u);
    bool stored_before = false;
    for (size_t n = 1; n <= steps.size(); ++n) {
        std::string copy = tree.base() + "/fault" + std::to_string(n);
        outcome failed = deliver(copy, {"TARNWICK_FAULT_AT=" + std::to_string(n)});
        auto [copies, in_tmp] = stored_copies(copy + "/Maildir");
        std::string step = std::to_string(n) + " " + steps[n - 1].step + " " + steps[n - 1].path;
        EXPECT_TRUE(failed.code == 0 || failed.code == 75) << step << ": " << failed.err;
        if (failed.code == 75) {
            EXPECT_FALSE(stored_before) << step << ": deferred after an earlier step stored it";
            EXPECT_EQ(copies + in_tmp, 0) << step;
        } else {
            EXPECT_EQ(copies, 1) << step;
            stored_before = stored_before || steps[n - 1].path.find("/Maildir/new") != std::string::npos;
        }
        // Writing who holds a lock and flushing a folder after a rename are courtesies, not failures.
        bool tolerated = steps[n - 1].path.find(".lock") != std::string::npos || steps[n - 1].step == "sync_folder";
        if (!tolerated) {
            EXPECT_NE(failed.err.find("tarnwick: "), std::string::npos) << step << " failed in silence";
        }
    }
}
