// `tarnwick run` killed at random moments: a Maildir of a few hundred mixed messages is filtered
// once without interruption for the reference outcome, and in a copy of it by runs that are
// killed with SIGKILL again and again, then by one run that is let finish. Every message must
// end exactly where the reference put it, none lost and none twice, the lists must agree, and each
// sender the reference challenged must have exactly one challenge, none cut short left in tmp/.
// Renames are slowed down by the fault library, so that kills land between the steps of a move.
#include "kill_fixture.h"

namespace {

using namespace kill_testing;

constexpr int message_count = 300;
constexpr int most_kills = 40;

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

using places_map = std::map<std::string, std::vector<std::string>>;

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
