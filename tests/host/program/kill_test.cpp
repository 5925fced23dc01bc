// `tarnwick run` killed at random moments: a Maildir of a few hundred mixed messages is filtered
// once without interruption for the reference outcome, and in a copy of it by runs that are
// killed with SIGKILL again and again, then by one run that is let finish. Every message must
// end exactly where the reference put it, none lost and none twice, the lists must agree, and each
// sender the reference challenged must have exactly one challenge, none cut short left in tmp/.
// Renames are slowed down by the fault library, so that kills land between the steps of a move.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "maildir_fixture.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned seed = 20240117;
constexpr int message_count = 300;
constexpr int most_kills = 40;
constexpr const char* rename_delay_us = "1500";

const std::vector<std::string> lists = {"authorized", "remove", "ignore", "pending"};

// A generated message: its file name in new/, and what kind it is and its first field, for the
// failure messages.
struct generated {
    std::string name;
    std::string kind;
};

// Writes the mailbox into `tree`'s new/ and the address book into `contacts_file`: contacts,
// strangers, senders on the remove list, bounces of challenges and other bounces, mail without a
// sender, and with `answers` answers to challenges from strangers whose earlier mail waits in the
// pending folder.
std::vector<generated> generate(const maildir_tree& tree, const std::string& contacts_file, bool answers) {
    std::mt19937 random(seed);
    auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
    std::string book;
    for (int i = 0; i < 12; ++i) book += "friend" + std::to_string(i) + "@friends.example\n";
    write_text_file(contacts_file, book);

    std::vector<generated> made;
    std::vector<std::string> waiting;  // strangers with mail in the pending folder, not yet answered
    std::set<std::string> answered;
    for (int i = 0; i < message_count; ++i) {
        long arrival = 1704067200 + 60L * i;
        std::string id = "<m" + std::to_string(i) + "@gen.example>";
        std::vector<std::string> fields;
        std::string kind;
        std::string body = "Message " + std::to_string(i) + ".\n";
        int roll = pick(100);
        if (roll < 28) {
            kind = "contact";
            fields = {"From: Friend <friend" + std::to_string(pick(12)) + "@friends.example>",
                      "Subject: News " + std::to_string(i)};
        } else if (roll < 60) {
            std::string who = "stranger" + std::to_string(pick(70)) + "@strangers.example";
            kind = answered.count(who) ? "stranger, answered before" : "stranger";
            if (!answered.count(who) && std::find(waiting.begin(), waiting.end(), who) == waiting.end())
                waiting.push_back(who);
            fields = {"From: " + who, "Return-Path: <" + who + ">", "Subject: Offer " + std::to_string(i)};
        } else if (roll < 70) {
            kind = "remove list";
            fields = {"From: Deals <deals" + std::to_string(pick(4)) + "@spam.example>",
                      "Subject: WIN " + std::to_string(i)};
        } else if (roll < 84 && answers && !waiting.empty()) {
            kind = "answer";
            size_t index = static_cast<size_t>(pick(static_cast<int>(waiting.size())));
            std::string who = waiting[index];
            waiting.erase(waiting.begin() + static_cast<long>(index));
            answered.insert(who);
            fields = {"From: " + who, "Subject: Re: Please confirm [TWK-TESTKEY]",
                      "In-Reply-To: <challenge@home.example>"};
        } else if (roll < 90) {
            kind = "bounce of a challenge";
            body =
                "Your message could not be delivered.\n\n--- returned headers ---\nFrom: me@home.example\n"
                "To: lost" +
                std::to_string(i) +
                "@strangers.example\n"
                "Subject: Please confirm [TWK-TESTKEY]\nAuto-Submitted: auto-replied\n";
            fields = {"Return-Path: <>", "From: MAILER-DAEMON@mx.home.example (Mail Delivery System)",
                      "Subject: Undelivered Mail Returned to Sender", "Auto-Submitted: auto-replied"};
        } else if (roll < 95) {
            kind = "other bounce";
            fields = {"Return-Path: <>", "From: Mail Delivery System <Mailer-Daemon@mx.gone.example>",
                      "Subject: Mail delivery failed", "Auto-Submitted: auto-replied"};
        } else {
            kind = "no sender";
            fields = {pick(2) ? "From: <>" : "Subject: anonymous " + std::to_string(i)};
        }
        fields.push_back("To: me@home.example");
        fields.push_back("Message-ID: " + id);
        std::string name = std::to_string(arrival) + ".M" + std::to_string(i) + "P1Q" + std::to_string(i) + ".gen";
        std::string text;
        for (const std::string& field : fields) text += field + "\n";
        tree.add("", "new", name, text + "\n" + body, arrival);
        made.push_back({name, kind + ", " + fields.front()});
    }
    for (generated& g : made) {
        if (g.kind.rfind("stranger, From: ", 0) == 0 && answered.count(g.kind.substr(16)))
            g.kind = "released by a later answer, " + g.kind;
    }
    return made;
}

// Where each message is: its unique part to "folder/subdir/name" for each copy found, the
// Outbox (challenges, which a killed run may send twice) left out.
std::map<std::string, std::vector<std::string>> places(const std::string& root) {
    std::map<std::string, std::vector<std::string>> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        fs::path path = entry.path();
        std::string subdir = path.parent_path().filename().string();
        if (subdir != "new" && subdir != "cur") continue;
        std::string folder = fs::relative(path.parent_path().parent_path(), root).string();
        if (folder == ".Outbox") continue;
        std::string name = path.filename().string();
        found[unique_of(name)].push_back(folder + "/" + subdir + "/" + name);
    }
    return found;
}

// The challenges in the Outbox, counted by their recipient (the To field).
std::map<std::string, int> challenges_by_recipient(const std::string& root) {
    std::map<std::string, int> count;
    for (const char* subdir : {"/new", "/cur"}) {
        std::string dir = root + "/.Outbox" + subdir;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string text = read_text_file(entry.path().string());
            size_t at = text.find("\nTo: ");
            ++count[at == std::string::npos ? "(no To field)" : text.substr(at + 5, text.find('\n', at + 1) - at - 5)];
        }
    }
    return count;
}

// Files left in a tmp/ folder anywhere in the Maildir.
std::vector<std::string> files_in_tmp(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().parent_path().filename() == "tmp")
            found.push_back(fs::relative(entry.path(), root).string());
    }
    return found;
}

// One Maildir with its data folder, set up the same way for each copy.
class mailbox_copy {
public:
    mailbox_copy(const std::string& base, const std::string& source) : base_(base) {
        fs::create_directories(base_);
        fs::copy(source, root(), fs::copy_options::recursive);
        for (const auto& entry : fs::recursive_directory_iterator(root())) {
            if (entry.is_regular_file()) {
                std::string name = entry.path().filename().string();
                set_arrival(entry.path().string(), std::stol(name.substr(0, name.find('.'))));
            }
        }
        // The runs' HOME is `base`: challenges need an address of the user's to come from.
        fs::create_directories(base_ + "/.config/tarnwick");
        write_text_file(base_ + "/.config/tarnwick/config", "own-address = me@home.example\n");
        expect_ok(tarnwick({"config", "set", "EnableProtection", "true", "MarkBlockedAsRead", "true", "ARSubjectKey",
                            "[TWK-TESTKEY]", "ARSubject", "Please confirm [TWK-TESTKEY]"}));
        expect_ok(tarnwick({"list", "add", "remove", "deals0@spam.example", "deals1@spam.example",
                            "deals2@spam.example", "deals3@spam.example"}));
    }

    std::string root() const { return base_ + "/Maildir"; }
    std::vector<std::string> run_args(const std::string& contacts) const {
        // No budget: which strangers are challenged must not depend on when a kill came.
        return {"run",           "--maildir",         root(),  "--contacts", contacts, "--data-dir",
                base_ + "/data", "--challenge-limit", "100000"};
    }
    outcome tarnwick(std::vector<std::string> args, const std::vector<std::string>& environment = {}) const {
        args.push_back("--data-dir");
        args.push_back(base_ + "/data");
        return run(base_, args, "", environment);
    }
    std::map<std::string, std::vector<std::string>> list_contents() const {
        std::map<std::string, std::vector<std::string>> contents;
        for (const std::string& list : lists) {
            outcome shown = tarnwick({"list", "show", list});
            EXPECT_EQ(shown.code, 0) << shown.err;
            contents[list] = lines_of(shown.out);
        }
        return contents;
    }
    const std::string& base() const { return base_; }

private:
    static void expect_ok(const outcome& result) { ASSERT_EQ(result.code, 0) << result.out << result.err; }
    std::string base_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using places_map = std::map<std::string, std::vector<std::string>>;
using lists_map = std::map<std::string, std::vector<std::string>>;

// The outcome of the reference run and of the killed runs on the same generated mailbox.
struct kill_outcome {
    std::map<std::string, std::string> kind_of;  // unique part to what the message is
    places_map expected, actual;
    lists_map expected_lists, actual_lists;
    std::map<std::string, int> expected_challenges, actual_challenges;  // by recipient
    std::vector<std::string> leftovers;                                 // in tmp/ after the last run
    int kills = 0;
};

kill_outcome filter_with_kills(bool answers) {
    kill_outcome result;
    maildir_tree source;
    std::string contacts = source.base() + "/contacts.txt";
    std::vector<generated> mail = generate(source, contacts, answers);
    for (const generated& g : mail) result.kind_of[unique_of(g.name)] = g.kind;
    std::vector<std::string> shim = {"LD_PRELOAD=" TARNWICK_FAULT_SHIM,
                                     std::string("TARNWICK_SHIM_DELAY_US=") + rename_delay_us};

    // The reference, and how long a whole run and a run with nothing to do take.
    mailbox_copy reference(source.base() + "/reference", source.root());
    auto started = std::chrono::steady_clock::now();
    outcome whole = run(reference.base(), reference.run_args(contacts), "", shim);
    double whole_seconds = seconds_since(started);
    EXPECT_EQ(whole.code, 0) << whole.out << whole.err;
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(reference.base(), reference.run_args(contacts), "", shim).code, 0);
    double idle_seconds = seconds_since(started);
    result.expected = places(reference.root());
    result.expected_lists = reference.list_contents();
    result.expected_challenges = challenges_by_recipient(reference.root());
    EXPECT_EQ(result.expected.size(), mail.size());

    // The killed copy: each run is killed somewhere between its start and a small part of the
    // work, so that the kills fall among the messages rather than after the last one.
    mailbox_copy killed(source.base() + "/killed", source.root());
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> moment(idle_seconds * 0.5,
                                                  idle_seconds + (whole_seconds - idle_seconds) / 12);
    int finished = 0;
    std::set<std::string> stranded;  // reported once each
    for (int round = 0; round < most_kills && !fs::is_empty(killed.root() + "/new"); ++round) {
        running_program running = start(killed.base(), killed.run_args(contacts), "", shim);
        std::this_thread::sleep_for(std::chrono::duration<double>(moment(random)));
        ::kill(running.pid, SIGKILL);
        outcome ended = running.wait();
        if (ended.code == 128 + SIGKILL) ++result.kills;
        else ++finished;
        EXPECT_TRUE(ended.code == 0 || ended.code == 128 + SIGKILL) << ended.out << ended.err;
        // At every moment each message is in exactly one place.
        places_map now = places(killed.root());
        EXPECT_EQ(now.size(), mail.size()) << "a message was lost after kill " << result.kills;
        for (const auto& [unique, copies] : now) {
            EXPECT_EQ(copies.size(), 1u) << unique << " is there twice";
            // The inbox's cur/ is never filtered again: only mail the filter keeps may be there.
            bool in_inbox_cur = copies.front().rfind("./cur/", 0) == 0;
            bool kept = result.expected[unique].size() == 1 && result.expected[unique].front().rfind("./cur/", 0) == 0;
            if (in_inbox_cur && !kept && stranded.insert(unique).second)
                ADD_FAILURE() << unique << " (" << result.kind_of[unique] << ") is in the inbox's cur/ after kill "
                              << result.kills;
        }
    }
    EXPECT_GE(result.kills, 10) << "the kills came too late to test anything (" << finished << " runs finished)";
    outcome last = run(killed.base(), killed.run_args(contacts), "");
    EXPECT_EQ(last.code, 0) << last.out << last.err;
    result.actual = places(killed.root());
    result.actual_lists = killed.list_contents();
    result.actual_challenges = challenges_by_recipient(killed.root());
    result.leftovers = files_in_tmp(killed.root());
    std::cout << "[   info   ] " << result.kills << " kills, " << finished
              << " runs finished before their kill; a whole run took " << whole_seconds << " s\n";
    return result;
}

// Every message where the reference put it, none lost, none twice.
void expect_same_places(const kill_outcome& result) {
    for (const auto& [unique, where] : result.expected) {
        auto found = result.actual.find(unique);
        std::string kind = result.kind_of.count(unique) ? result.kind_of.at(unique) : "?";
        if (found == result.actual.end()) {
            ADD_FAILURE() << unique << " (" << kind << ") was lost";
            continue;
        }
        EXPECT_EQ(found->second, where) << unique << " (" << kind << ")";
    }
    EXPECT_EQ(result.actual.size(), result.expected.size());
}

// The lists as the reference left them: a sender challenged just before a kill is still noted
// as pending, by the killed run or by the next one.
void expect_same_lists(const kill_outcome& result) {
    // A list never written is not in the map: it is empty.
    auto entries = [](const lists_map& all, const char* name) {
        auto found = all.find(name);
        std::vector<std::string> sorted = found == all.end() ? std::vector<std::string>{} : found->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    };
    for (const char* list : {"authorized", "remove", "ignore", "pending"})
        EXPECT_EQ(entries(result.actual_lists, list), entries(result.expected_lists, list)) << list;
}

// Each sender the reference challenged got exactly one challenge, whatever the kills cut short,
// and nothing half-written is left in tmp/.
void expect_one_challenge_each(const kill_outcome& result) {
    EXPECT_FALSE(result.expected_challenges.empty());
    for (const auto& [to, count] : result.expected_challenges) EXPECT_EQ(count, 1) << to << " in the reference";
    for (const auto& [to, count] : result.actual_challenges) {
        EXPECT_TRUE(result.expected_challenges.count(to)) << to << " was challenged, but not by the reference";
        EXPECT_EQ(count, 1) << to << " got " << count << " challenges";
    }
    EXPECT_EQ(result.actual_challenges.size(), result.expected_challenges.size());
    EXPECT_EQ(result.leftovers, std::vector<std::string>{});
}

}  // namespace

TEST(killed_runs, every_message_ends_where_an_uninterrupted_run_puts_it) {
    kill_outcome result = filter_with_kills(false);
    expect_same_places(result);
    expect_same_lists(result);
    expect_one_challenge_each(result);
}

// Answers authorize their sender and release his waiting mail. An answer or a release cut short
// by a kill is finished by the next run: the answer still goes to Trash, the mail to the inbox.
TEST(killed_runs, answered_senders_get_all_their_mail_despite_kills) {
    kill_outcome result = filter_with_kills(true);
    expect_same_places(result);
    expect_same_lists(result);
    expect_one_challenge_each(result);
}

namespace {

// Where each delivered message is, by its Message-ID: every copy in new/ or cur/ of any folder
// (tmp/ holds no mail yet, and the Outbox only challenges).
std::map<std::string, int> copies_by_id(const std::string& root) {
    std::map<std::string, int> copies;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::string subdir = entry.path().parent_path().filename().string();
        std::string folder = entry.path().parent_path().parent_path().filename().string();
        if ((subdir != "new" && subdir != "cur") || folder == ".Outbox") continue;
        std::string text = read_text_file(entry.path().string());
        size_t at = text.find("Message-ID: <");
        if (at != std::string::npos) ++copies[text.substr(at + 13, text.find('>', at) - at - 13)];
    }
    return copies;
}

}  // namespace

// A mail system runs deliver for each message and reads only its exit status: 0 means stored.
// Killed at any moment, a delivery leaves its message in exactly one folder when it said 0, in at
// most one otherwise (the mail system then tries again), and the lists whole.
TEST(killed_deliveries, a_message_is_stored_once_or_left_with_the_mail_system) {
    constexpr int deliveries = 80;
    maildir_tree tree;
    mailbox_copy box(tree.base() + "/box", tree.root());
    std::vector<std::string> friends;
    for (int i = 0; i < 8; ++i) friends.push_back("friend" + std::to_string(i) + "@friends.example");
    std::vector<std::string> add = {"list", "add", "authorized"};
    add.insert(add.end(), friends.begin(), friends.end());
    ASSERT_EQ(box.tarnwick(add).code, 0);
    std::vector<std::string> shim = {"LD_PRELOAD=" TARNWICK_FAULT_SHIM,
                                     std::string("TARNWICK_SHIM_DELAY_US=") + rename_delay_us};
    auto deliver_args = [&](const std::string& sender) {
        return std::vector<std::string>{"deliver",           "-f", sender, "--maildir", box.root(), "--data-dir",
                                        box.base() + "/data"};
    };
    auto message = [&](int i, const std::string& sender) {
        return mail_text({"From: " + sender, "To: me@home.example", "Subject: Message " + std::to_string(i),
                          "Message-ID: <k" + std::to_string(i) + "@kill.example>"});
    };
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(box.base(), deliver_args(friends[0]), message(-1, friends[0]), shim).code, 0);
    double whole_seconds = seconds_since(started);

    std::mt19937 random(seed);
    std::uniform_real_distribution<double> moment(0, whole_seconds * 1.1);
    std::map<std::string, int> status_of;
    int kills = 0;
    for (int i = 0; i < deliveries; ++i) {
        std::string sender = i % 3 ? friends[static_cast<size_t>(i) % friends.size()]
                                   : "stranger" + std::to_string(i) + "@strangers.example";
        running_program running = start(box.base(), deliver_args(sender), message(i, sender), shim);
        std::this_thread::sleep_for(std::chrono::duration<double>(moment(random)));
        ::kill(running.pid, SIGKILL);
        outcome ended = running.wait();
        if (ended.code == 128 + SIGKILL) ++kills;
        EXPECT_TRUE(ended.code == 0 || ended.code == 128 + SIGKILL) << ended.err;
        status_of["k" + std::to_string(i) + "@kill.example"] = ended.code;
    }
    std::map<std::string, int> copies = copies_by_id(box.root());
    int stored_after_kill = 0;
    for (const auto& [id, code] : status_of) {
        int count = copies.count(id) ? copies.at(id) : 0;
        if (code == 0) EXPECT_EQ(count, 1) << id << " was delivered (exit 0)";
        else EXPECT_LE(count, 1) << id << " was killed";
        if (code != 0 && count == 1) ++stored_after_kill;
    }
    EXPECT_GE(kills, deliveries / 4) << "the kills came too late to test anything";
    std::cout << "[   info   ] " << kills << " deliveries killed, " << stored_after_kill
              << " of them after storing; a whole delivery took " << whole_seconds << " s\n";

    // The lists read whole: every friend still authorized, only strangers pending.
    lists_map lists = box.list_contents();
    for (const std::string& friend_address : friends)
        EXPECT_NE(std::find(lists["authorized"].begin(), lists["authorized"].end(), friend_address),
                  lists["authorized"].end())
            << friend_address;
    for (const std::string& entry : lists["pending"])
        EXPECT_NE(entry.find("@strangers.example"), std::string::npos) << entry;
    // What a killed delivery left in new/ is filtered by the next run.
    outcome after = box.tarnwick({"run", "--maildir", box.root()});
    EXPECT_EQ(after.code, 0) << after.out << after.err;
    EXPECT_TRUE(fs::is_empty(box.root() + "/new"));
    // Each stranger whose message was stored has one challenge, whatever the kills cut short.
    std::map<std::string, int> challenges = challenges_by_recipient(box.root());
    for (int i = 0; i < deliveries; i += 3) {
        std::string id = "k" + std::to_string(i) + "@kill.example";
        std::string stranger = "stranger" + std::to_string(i) + "@strangers.example";
        int wanted = copies.count(id) ? 1 : 0;
        EXPECT_EQ(challenges.count(stranger) ? challenges.at(stranger) : 0, wanted) << stranger;
    }
    EXPECT_EQ(files_in_tmp(box.root()), std::vector<std::string>{});
}
