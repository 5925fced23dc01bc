// `tarnwick deliver` killed at random moments, as a mail system runs it for each message.
#include "kill_fixture.h"

namespace {

using namespace kill_testing;

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
    auto sender_of = [&](int i) {
        return i % 3 ? friends[static_cast<size_t>(i) % friends.size()]
                     : "stranger" + std::to_string(i) + "@strangers.example";
    };
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(box.base(), deliver_args(friends[0]), message(-1, friends[0]), shim).code, 0);
    double whole_seconds = seconds_since(started);

    std::mt19937 random(seed);
    std::uniform_real_distribution<double> moment(0, whole_seconds * 1.1);
    std::map<std::string, int> status_of;
    int kills = 0;
    for (int i = 0; i < deliveries; ++i) {
        std::string sender = sender_of(i);
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
    // The mail system delivers again what was not stored; the next run filters what a killed
    // delivery left in new/: only friends' mail stays there.
    for (int i = 0; i < deliveries; ++i) {
        std::string id = "k" + std::to_string(i) + "@kill.example";
        if (status_of[id] == 0 || copies.count(id)) continue;
        std::string sender = sender_of(i);
        EXPECT_EQ(run(box.base(), deliver_args(sender), message(i, sender)).code, 0) << id;
    }
    outcome after = box.tarnwick({"run", "--maildir", box.root()});
    EXPECT_EQ(after.code, 0) << after.out << after.err;
    for (const auto& entry : fs::directory_iterator(box.root() + "/new"))
        EXPECT_NE(read_text_file(entry.path().string()).find("@friends.example"), std::string::npos) << entry.path();
    // Each message is stored once, and each stranger has one challenge, whatever the kills cut
    // short: a challenge sent before its message was stored is not sent again for the retry.
    copies = copies_by_id(box.root());
    std::map<std::string, int> challenges = challenges_by_recipient(box.root());
    for (int i = 0; i < deliveries; ++i) {
        std::string id = "k" + std::to_string(i) + "@kill.example";
        EXPECT_EQ(copies.count(id) ? copies.at(id) : 0, 1) << id;
        if (i % 3) continue;
        std::string stranger = sender_of(i);
        EXPECT_EQ(challenges.count(stranger) ? challenges.at(stranger) : 0, 1) << stranger;
    }
    EXPECT_EQ(files_in_tmp(box.root()), std::vector<std::string>{});
}
