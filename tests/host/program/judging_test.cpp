// Judging pending mail by moving it, `tarnwick pending` and `tarnwick digest`: a message moved
// under a new name is recognised, the filter's own moves and a later delivery with the same
// Message-ID are no verdicts, a lost index heals, and the two commands report without touching
// what they must not.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "policy/pending_index.h"
#include "program_story.h"

namespace fs = std::filesystem;

namespace {

std::string stranger(const std::string& who, const std::string& id, const std::string& subject = "Hello") {
    return mail_text({"Return-Path: <" + who + ">", "From: " + who, "To: me@home.example", "Subject: " + subject,
                      "Message-ID: <" + id + ">", "Date: Tue, 01 Dec 2026 10:00:00 +0000"});
}

class judging_test : public program_story {
protected:
    std::string data_folder() const { return data() + "/OstrelAntiSpam"; }
    void SetUp() override {
        outcome set = tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false"});
        ASSERT_EQ(set.code, 0) << set.err;
        tree.make_folder("Junk");
    }
    outcome filter() {
        outcome ran = tarnwick({"run", "--maildir", tree.root()});
        EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
        return ran;
    }
    // The pending folder's file whose name starts with `unique`.
    std::string parked(const std::string& unique) {
        for (const std::string& name : tree.files_in("Pending", "cur")) {
            if (unique_of(name) == unique) return tree.folder_dir("Pending") + "/cur/" + name;
        }
        ADD_FAILURE() << unique << " is not in the pending folder";
        return "";
    }
    // What an IMAP server does: the file moves under a new name, its time kept.
    void imap_move(const std::string& unique, const std::string& folder, const std::string& new_name) {
        fs::rename(parked(unique), tree.folder_dir(folder) + "/cur/" + new_name);
    }
    std::string judged_line(const outcome& ran) {
        size_t at = ran.out.find("judged by moving:");
        return at == std::string::npos ? "" : ran.out.substr(at, ran.out.find('\n', at) - at);
    }
};

}  // namespace

TEST_F(judging_test, moved_to_the_inbox_under_a_new_name_authorizes_and_releases_the_senders_other_mail) {
    tree.add("", "new", "100.a1.test", stranger("ann@example.org", "a1@x"), 100);
    tree.add("", "new", "200.a2.test", stranger("ann@example.org", "a2@x"), 200);
    tree.add("", "new", "300.b1.test", stranger("bob@example.net", "b1@x"), 300);
    filter();
    ASSERT_EQ(tree.files_in("Pending", "cur").size(), 3u);

    imap_move("100.a1.test", "", "900.moved.imap,S=1:2,S");
    outcome judged = filter();
    EXPECT_EQ(judged_line(judged), "judged by moving: authorized ann@example.org") << judged.out;
    EXPECT_NE(judged.out.find("released to the inbox         1"), std::string::npos) << judged.out;
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);  // bob's
    std::vector<std::string> inbox = tree.files_in("", "cur");
    EXPECT_EQ(inbox.size(), 2u);

    // The release was the filter's: the next run takes no verdict, and the index knows only bob's.
    outcome again = filter();
    EXPECT_EQ(judged_line(again), "") << again.out;
    std::string index = read_text_file(data_folder() + "/pending-index.tsv");
    EXPECT_EQ(index.find("ann@example.org"), std::string::npos) << index;
    EXPECT_NE(index.find("300.b1.test\t"), std::string::npos) << index;
    EXPECT_NE(index.find("\tsent:bob@example.net\t"), std::string::npos) << index;
}

TEST_F(judging_test, junk_puts_the_sender_on_the_remove_list_and_deleting_or_other_folders_are_no_verdict) {
    tree.make_folder("Archive");
    tree.add("", "new", "100.b.test", stranger("bob@example.net", "b@x"), 100);
    tree.add("", "new", "200.c.test", stranger("cat@example.net", "c@x"), 200);
    tree.add("", "new", "300.d.test", stranger("dan@example.net", "d@x"), 300);
    filter();
    imap_move("100.b.test", "Junk", "901.junked.imap:2,S");
    // A server that gives the moved message a time of its own.
    set_arrival(tree.folder_dir("Junk") + "/cur/901.junked.imap:2,S", static_cast<long>(std::time(nullptr)));
    fs::remove(parked("200.c.test"));
    imap_move("300.d.test", "Archive", "902.kept.imap:2,S");

    outcome judged = filter();
    EXPECT_EQ(judged_line(judged), "judged by moving: remove list bob@example.net") << judged.out;
    EXPECT_EQ(list("remove"), std::vector<std::string>{"bob@example.net"});
    EXPECT_TRUE(list("authorized").empty());
    std::string index = read_text_file(data_folder() + "/pending-index.tsv");
    EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 1) << index;  // the heading only
}

TEST_F(judging_test, the_filters_own_releases_and_a_later_delivery_with_the_same_id_are_no_verdict) {
    tree.add("", "new", "100.a.test", stranger("ann@example.org", "a@x"), 100);
    tree.add("", "new", "200.m.test", stranger("mal@example.net", "m@x"), 200);
    filter();
    outcome added = tarnwick({"list", "add", "authorized", "ann@example.org", "--maildir", tree.root()});
    ASSERT_EQ(added.code, 0) << added.err;
    ASSERT_EQ(tree.files_in("", "cur").size(), 1u);

    // The user deletes mal's message; mal sends another with the same Message-ID (which the
    // server that takes it in marks with a trace field of its own).
    fs::remove(parked("200.m.test"));
    tree.add("", "new", "300.m2.test",
             "Received: from mx.example.net by home.example; 9 Dec 2026\n" + stranger("mal@example.net", "m@x"),
             static_cast<long>(std::time(nullptr)) + 5);
    outcome ran = filter();
    EXPECT_EQ(judged_line(ran), "") << ran.out;
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);  // the new one from mal
}

TEST_F(judging_test, a_lost_index_heals_and_its_messages_can_still_be_judged) {
    tree.add("", "new", "100.a.test", stranger("ann@example.org", "a@x"), 100);
    filter();
    fs::remove(data_folder() + "/pending-index.tsv");
    // Mail parked before the index was kept, too.
    tree.add("Pending", "cur", "50.old.test:2,", stranger("old@example.org", "o@x"), 50);

    outcome healed = filter();
    EXPECT_EQ(judged_line(healed), "") << healed.out;
    std::string index = read_text_file(data_folder() + "/pending-index.tsv");
    EXPECT_NE(index.find("100.a.test\t"), std::string::npos) << index;
    EXPECT_NE(index.find("50.old.test\t50\t50\t<o@x>\told@example.org\t"), std::string::npos) << index;
    EXPECT_NE(index.find("\tunknown\t"), std::string::npos) << index;

    imap_move("50.old.test", "", "903.back.imap:2,S");
    outcome judged = filter();
    EXPECT_EQ(judged_line(judged), "judged by moving: authorized old@example.org") << judged.out;
}

TEST_F(judging_test, pending_tells_what_waits_newest_first_and_changes_nothing) {
    long now = static_cast<long>(std::time(nullptr));
    tree.add("", "new", "100.a.test", stranger("ann@example.org", "a@x", "Quote \" back\\slash"), now - 2 * 86400);
    tree.add("", "new", "200.r.test",
             mail_text({"From: robot@example.net", "Subject: =?utf-8?q?tab=09cr=0Dend?=", "Precedence: bulk"}),
             now - 3600);
    filter();
    // Known to nobody: parked before the index was kept.
    tree.add("Pending", "cur", "50.old.test:2,", stranger("old@example.org", "o@x"), now - 20 * 86400);
    ASSERT_EQ(tarnwick({"config", "set", "AutoDeleteBlocked", "true"}).code, 0);  // expiry as shipped

    std::vector<std::string> maildir_before = tree.snapshot();
    std::string log_before = read_text_file(data_folder() + "/dlog.log");
    std::vector<std::string> data_before;
    for (const auto& entry : fs::directory_iterator(data_folder()))
        data_before.push_back(entry.path().filename().string() + "=" + read_text_file(entry.path().string()));
    std::sort(data_before.begin(), data_before.end());

    outcome text = tarnwick({"pending", "--maildir", tree.root()});
    ASSERT_EQ(text.code, 0) << text.err;
    std::vector<std::string> rows = lines_of(text.out);
    ASSERT_EQ(rows.size(), 5u) << text.out;
    EXPECT_EQ(rows[0].rfind("3 messages wait in .Pending of ", 0), 0u) << text.out;
    EXPECT_NE(rows[2].find("  robot@example.net  withheld (automatic mail)"), std::string::npos) << text.out;
    EXPECT_NE(rows[2].find("tab cr end"), std::string::npos) << text.out;
    EXPECT_NE(rows[3].find("  ann@example.org    sent to ann@example.org"), std::string::npos) << text.out;
    EXPECT_NE(rows[4].find("  old@example.org    unknown"), std::string::npos) << text.out;

    outcome json = tarnwick({"pending", "--json", "--maildir", tree.root()});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"folder\": \".Pending\", \"expiry_days\": 14, \"messages\": [\n  {\"file\": ", 0), 0u)
        << json.out;
    EXPECT_NE(json.out.find("\"subject\": \"Quote \\\" back\\\\slash\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"expires_in_days\": 12, \"challenge\": \"sent\", \"challenge_detail\": "
                            "\"ann@example.org\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"challenge\": \"unknown\""), std::string::npos) << json.out;

    EXPECT_EQ(tree.snapshot(), maildir_before);
    EXPECT_EQ(read_text_file(data_folder() + "/dlog.log"), log_before);
    std::vector<std::string> data_after;
    for (const auto& entry : fs::directory_iterator(data_folder()))
        data_after.push_back(entry.path().filename().string() + "=" + read_text_file(entry.path().string()));
    std::sort(data_after.begin(), data_after.end());
    EXPECT_EQ(data_after, data_before);

    ASSERT_EQ(tarnwick({"config", "set", "AutoDeleteBlocked", "false"}).code, 0);
    json = tarnwick({"pending", "--json", "--maildir", tree.root()});
    EXPECT_NE(json.out.find("\"expiry_days\": null"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"expires_in_days\": null"), std::string::npos) << json.out;
}

TEST_F(judging_test, digest_lists_new_pending_mail_once_in_cur_where_the_filter_never_takes_it) {
    outcome nothing = tarnwick({"digest", "--maildir", tree.root()});
    EXPECT_EQ(nothing.code, 0) << nothing.err;
    EXPECT_NE(nothing.out.find("nothing new in .Pending"), std::string::npos) << nothing.out;
    EXPECT_TRUE(tree.files_in("", "cur").empty());

    tree.add("", "new", "100.a.test",
             stranger("ann@example.org", "a@x", "=?utf-8?q?Gr=C3=BC=C3=9Fe=0D=0ABcc:_evil@x.example?="), 100);
    filter();
    outcome digest = tarnwick({"digest", "--maildir", tree.root()});
    ASSERT_EQ(digest.code, 0) << digest.err;
    std::vector<std::string> stored = tree.files_in("", "cur");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].substr(stored[0].size() - 3), ":2,");  // unread
    std::string message = read_text_file(tree.root() + "/cur/" + stored[0]);
    std::string head = message.substr(0, message.find("\n\n") + 1);
    EXPECT_EQ(head.find("evil"), std::string::npos) << head;
    EXPECT_NE(head.find("\nSubject: Tarnwick: 1 new message waits in the pending folder\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\nContent-Transfer-Encoding: quoted-printable\n"), std::string::npos) << head;
    for (const char* field : {"From: ", "To: ", "Date: ", "Message-ID: <", "MIME-Version: 1.0"})
        EXPECT_NE(head.find(field), std::string::npos) << field;
    std::string body = message.substr(head.size() + 1);
    EXPECT_NE(body.find("ann@example.org\n    Subject: Gr=C3=BC=C3=9Fe  Bcc: evil@x.example"), std::string::npos)
        << body;
    EXPECT_NE(body.find("Challenge: sent to ann@example.org"), std::string::npos) << body;
    EXPECT_NE(body.find("into .Junk: its sender goes on the remove list"), std::string::npos) << body;

    outcome second = tarnwick({"digest", "--maildir", tree.root()});
    EXPECT_EQ(second.code, 0);
    EXPECT_NE(second.out.find("nothing new in .Pending since the last digest (1 message waits in all)"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(tree.files_in("", "cur"), stored);

    outcome ran = filter();
    EXPECT_NE(ran.out.find("tarnwick: 0 messages handled"), std::string::npos) << ran.out;
    EXPECT_EQ(tree.files_in("", "cur"), stored);
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);

    // The next digest lists only what came since, whatever the clock says.
    tree.add("", "new", "200.b.test", stranger("bob@example.net", "b@x"), 200);
    filter();
    outcome third = tarnwick({"digest", "--maildir", tree.root()});
    ASSERT_EQ(third.code, 0) << third.err;
    std::vector<std::string> now_stored = tree.files_in("", "cur");
    ASSERT_EQ(now_stored.size(), 2u);
    std::string newest =
        read_text_file(tree.root() + "/cur/" + (now_stored[0] == stored[0] ? now_stored[1] : now_stored[0]));
    EXPECT_NE(newest.find("bob@example.net"), std::string::npos) << newest;
    EXPECT_EQ(newest.find("ann@example.org"), std::string::npos) << newest;
    EXPECT_NE(newest.find("2 messages wait in the pending folder in all"), std::string::npos) << newest;
}

TEST_F(judging_test, watch_judges_what_was_moved_without_waiting_for_the_next_arrival) {
    auto arrive = [&](const std::string& name, const std::string& text) {
        fs::rename(tree.add("", "tmp", name, text, 100), tree.root() + "/new/" + name);
    };
    std::string index = data_folder() + "/pending-index.tsv";
    running_program watching = start(tree.base(), {"watch", "--maildir", tree.root(), "--data-dir", data()});
    arrive("100.a.test", stranger("ann@example.org", "a@x"));
    ASSERT_TRUE(eventually([&] { return read_text_file(index).find("100.a.test\t") != std::string::npos; }));
    imap_move("100.a.test", "", "900.moved.imap:2,S");
    EXPECT_TRUE(eventually([&] { return read_text_file(index).find("100.a.test") == std::string::npos; }));
    arrive("200.b.test", stranger("bob@example.net", "b@x"));
    EXPECT_TRUE(eventually([&] { return read_text_file(index).find("200.b.test\t") != std::string::npos; }));
    ASSERT_EQ(::kill(watching.pid, SIGTERM), 0);
    outcome stopped = watching.wait();
    EXPECT_EQ(stopped.code, 0) << stopped.err;
    EXPECT_EQ(judged_line(stopped), "judged by moving: authorized ann@example.org") << stopped.out;
    EXPECT_EQ(read_text_file(index).find("100.a.test"), std::string::npos);
}

TEST_F(judging_test, deliver_judges_before_its_message_and_indexes_what_it_parks) {
    auto deliver = [&](const std::string& who, const std::string& id) {
        outcome delivered =
            run(tree.base(), {"deliver", "-f", who, "--maildir", tree.root(), "--data-dir", data()}, stranger(who, id));
        EXPECT_EQ(delivered.code, 0) << delivered.err;
        return delivered;
    };
    deliver("ann@example.org", "a@x");
    std::vector<std::string> parked_files = tree.files_in("Pending", "cur");
    ASSERT_EQ(parked_files.size(), 1u);
    std::string index = read_text_file(data_folder() + "/pending-index.tsv");
    EXPECT_NE(index.find("\tsent:ann@example.org\t"), std::string::npos) << index;

    imap_move(unique_of(parked_files.front()), "", "904.moved.imap:2,S");
    outcome judged = deliver("bob@example.net", "b@x");
    EXPECT_EQ(judged.out, "");  // a delivery agent says nothing on success
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    index = read_text_file(data_folder() + "/pending-index.tsv");
    EXPECT_EQ(index.find("ann@example.org"), std::string::npos) << index;
    EXPECT_NE(index.find("\tsent:bob@example.net\t"), std::string::npos) << index;
}

TEST_F(judging_test, each_way_a_user_moves_mail_is_a_verdict_and_a_lookalike_of_deleted_mail_is_none) {
    for (const char* who : {"ann", "bob", "cat", "dan", "eve", "fay"})
        tree.add("", "new", std::string("1.") + who + ".test", stranger(std::string(who) + "@example.org", "id@x"),
                 100);
    filter();
    ASSERT_EQ(tree.files_in("Pending", "cur").size(), 6u);
    long now = static_cast<long>(std::time(nullptr)) + 60;  // a minute after the parking
    auto bytes_of = [&](const char* who) { return read_text_file(parked(std::string("1.") + who + ".test")); };

    // IMAP MOVE: renamed, flags and a size in the name.
    imap_move("1.ann.test", "", "900.ann.imap,S=300:2,S");
    // COPY and EXPUNGE: a new file with the same bytes and a time of its own, the parked one gone.
    tree.add("", "cur", "901.bob.imap:2,S", bytes_of("bob"), now);
    fs::remove(parked("1.bob.test"));
    // A client's APPEND of the message it fetched: no flags, a fresh time, so new/.
    tree.add("", "new", "902.cat.imap", bytes_of("cat"), now);
    fs::remove(parked("1.cat.test"));
    // An APPEND to the junk folder of the message as IMAP sends it, with CRLF line ends.
    std::string crlf;
    for (char c : bytes_of("dan")) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    tree.add("Junk", "new", "903.dan.imap", crlf, now);
    fs::remove(parked("1.dan.test"));
    // Deleted by the user, and a spammer's second copy with the same Message-ID, sender and
    // size, but other bytes: left in cur/ by an IMAP server, or just delivered to new/.
    fs::remove(parked("1.eve.test"));
    tree.add("", "cur", "904.eve.test:2,", stranger("eve@example.org", "id@x", "Hellp"), 100);
    fs::remove(parked("1.fay.test"));
    tree.add("", "new", "905.fay.test", stranger("fay@example.org", "id@x", "Hellp"), now);

    outcome judged = filter();
    EXPECT_EQ(judged_line(judged),
              "judged by moving: authorized ann@example.org, bob@example.org, cat@example.org; remove list "
              "dan@example.org")
        << judged.out;
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"ann@example.org", "bob@example.org", "cat@example.org"}));
    EXPECT_EQ(list("remove"), std::vector<std::string>{"dan@example.org"});
    // The appended message is the user's, unread in the inbox, not new mail parked again; the
    // spammer's new copies, unread in cur/ or new/, are filtered like any message.
    EXPECT_EQ(tree.files_in("", "new"), std::vector<std::string>{});
    std::vector<std::string> inbox = tree.files_in("", "cur");
    EXPECT_NE(std::find(inbox.begin(), inbox.end(), "902.cat.imap:2,"), inbox.end()) << judged.out;
    std::vector<std::string> pending = tree.files_in("Pending", "cur");
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(unique_of(pending[0]), "904.eve.test");
    EXPECT_EQ(unique_of(pending[1]), "905.fay.test");
    EXPECT_EQ(judged.out.find("moved to the pending folder   2"), judged.out.find("moved to the pending folder"))
        << judged.out;
}

TEST_F(judging_test, an_older_index_without_bytes_still_loads_and_its_entries_gain_bytes_or_give_no_verdict) {
    tree.add("", "new", "1.ann.test", stranger("ann@example.org", "a@x"), 100);
    tree.add("", "new", "2.bob.test", stranger("bob@example.org", "b@x"), 100);
    filter();
    // The index as an older version wrote it: eight fields a line.
    std::string path = data_folder() + "/pending-index.tsv";
    std::string older;
    for (const std::string& line : lines_of(read_text_file(path))) {
        size_t eighth = 0;
        for (int tab = 0; tab < 8 && eighth != std::string::npos; ++tab) eighth = line.find('\t', eighth + 1);
        older += line.substr(0, eighth) + "\n";
    }
    ASSERT_EQ(std::count(older.begin(), older.end(), '\t'), 14) << older;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << older;

    // Bob's message, never read for its bytes, is deleted and a lookalike is left in the inbox.
    fs::remove(parked("2.bob.test"));
    tree.add("", "cur", "900.bob.test:2,S", stranger("bob@example.org", "b@x", "Hellp"), 100);
    outcome ran = filter();
    EXPECT_EQ(judged_line(ran), "") << ran.out;
    EXPECT_TRUE(list("authorized").empty());
    std::string index = read_text_file(path);
    EXPECT_EQ(index.find("bob@example.org"), std::string::npos) << index;
    // Ann's message was still parked: its bytes were read then, and its move is a verdict.
    EXPECT_NE(index.find("\t" + fingerprint_of(read_text_file(parked("1.ann.test"))).sha256 + "\n"), std::string::npos)
        << index;
    imap_move("1.ann.test", "", "901.ann.imap:2,S");
    outcome judged = filter();
    EXPECT_EQ(judged_line(judged), "judged by moving: authorized ann@example.org") << judged.out;
}
