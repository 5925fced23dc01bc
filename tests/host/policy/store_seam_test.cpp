// Judging by moving and friends from sent mail over a store that is no Maildir: ids that are no
// file names, copies kept with CRLF as a server keeps them, folders known only by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "maildir_fixture.h"
#include "mailer/store_mailer.h"
#include "policy/friends.h"
#include "policy/judging.h"
#include "support/temp_dir.h"

namespace {

// Folders of messages in memory; only what judging and sent mail read is more than a stub.
class memory_store final : public mail_store {
public:
    struct kept {
        std::string id, bytes;
    };
    std::map<std::string, std::vector<kept>> mail;  // by folder, "" the inbox
    std::vector<std::string> settled;

    const std::string& account() const override { return account_; }
    std::string place_of(const std::string& folder) const override { return folder; }
    const std::vector<std::string>& folders() override { return none_; }
    std::vector<std::string> children(const std::string&) override { return {}; }
    bool valid_folder_name(std::string_view) const override { return true; }
    store_result create_folder(const std::string&) override { return {}; }
    std::vector<message_ref> messages(const std::string&) override { return {}; }
    size_t message_count(const std::string&) override { return 0; }
    bool holds(const std::string&, const std::string&) override { return false; }
    std::vector<inbox_entry> inbox() override { return {}; }
    std::string id_of_arrival(const std::string& name) const override { return name; }
    message_ref open_arrival(const std::string&, int*) override { return {}; }
    std::vector<std::string> take_moved_into_inbox() override { return {}; }
    std::string new_id() override { return "new"; }
    bool store(const std::string&, const std::string&, std::string_view, std::string&) override { return false; }
    std::vector<std::string> remove_leftovers() override { return {}; }

    std::vector<listed_message> list(const std::string& folder) override {
        std::vector<listed_message> listed;
        for (const kept& message : mail[folder]) listed.push_back({message.id, "", message.bytes.size(), {}, false});
        return listed;
    }
    bool has_folder(const std::string& folder) override { return mail.count(folder) > 0; }
    std::string special_folder(special_use use) override { return use == special_use::sent ? "Sent Items" : ""; }
    std::optional<std::string> header_block(const std::string& folder, const std::string& id, size_t) override {
        const kept* message = find(folder, id);
        if (!message) return std::nullopt;
        return message->bytes;
    }
    std::optional<message_fingerprint> fingerprint(const std::string& folder, const std::string& id) override {
        const kept* message = find(folder, id);
        if (!message) return std::nullopt;
        return fingerprint_of(message->bytes);
    }
    store_result settle_appended(const std::string& id) override {
        settled.push_back(id);
        return {};
    }

    // Takes the message `id` out of `folder`, giving its bytes.
    std::string take(const std::string& folder, const std::string& id) {
        std::vector<kept>& in = mail[folder];
        auto at = std::find_if(in.begin(), in.end(), [&](const kept& m) { return m.id == id; });
        std::string bytes = at->bytes;
        in.erase(at);
        return bytes;
    }

private:
    const kept* find(const std::string& folder, const std::string& id) {
        for (const kept& message : mail[folder])
            if (message.id == id) return &message;
        return nullptr;
    }
    std::string account_ = "imap://ann@mail.example.org";
    std::vector<std::string> none_;
};

std::string with_crlf(const std::string& text) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

}  // namespace

TEST(store_seam, the_user_judges_by_moving_on_a_server_and_his_sent_folder_gives_friends) {
    temp_dir data;
    std::string error;
    std::unique_ptr<addin_client> addin = addin_client::load(TARNWICK_MODULE_FILE, {data.path()}, error);
    ASSERT_TRUE(addin) << error;
    auto store = std::make_shared<memory_store>();
    com_ptr<store_mailer> host = store_mailer::create(store, {});
    auto stranger = [](const std::string& who) {
        return mail_text({"From: " + who, "To: me@home.example", "Message-ID: <" + who + ">"});
    };
    store->mail = {{"", {}},
                   {"Junk", {}},
                   {"Pending", {{"41", stranger("ann@example.org")}, {"42", stranger("bob@example.org")}}},
                   {"Sent Items", {{"7", mail_text({"From: me@home.example", "To: dan@example.org"})}}}};
    judged_inbox judged(data.path());
    ASSERT_TRUE(judged.start({}));
    pending_tracker tracker(data.path(), *store, "Pending", "Junk");
    tracker.record_copies_in(&judged);
    tracker.judge_moved_messages(*addin, *host.get());
    ASSERT_EQ(tracker.entries().size(), 2u);

    // The server moved ann's message into the inbox under a new id, kept with CRLF, and bob's
    // into the junk folder.
    store->mail[""].push_back({"9001", with_crlf(store->take("Pending", "41"))});
    store->mail["Junk"].push_back({"9002", store->take("Pending", "42")});
    verdict_report report = tracker.judge_moved_messages(*addin, *host.get());
    EXPECT_EQ(report.authorized, std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(report.removed, std::vector<std::string>{"bob@example.org"});
    EXPECT_TRUE(report.failures.empty()) << report.failures.front();
    // Ann's copy is the user's: never filtered as new mail.
    EXPECT_TRUE(judged.contains("9001"));
    EXPECT_EQ(store->settled, std::vector<std::string>{"9001"});
    EXPECT_TRUE(tracker.entries().empty());

    friend_finder friends(*addin, data.path(), *store, store->special_folder(mail_store::special_use::sent));
    friends.learn_from_sent_mail();
    EXPECT_EQ(friends.added(), 1);
    EXPECT_NE(read_text_file(data.file(sent_index_file_name)).find("folder imap://ann@mail.example.org/Sent Items\n"),
              std::string::npos);
    addin->object().Unload();
}
