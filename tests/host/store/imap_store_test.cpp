// The IMAP store over a server in memory: ids, arrivals, folders, moves and what a dropped
// connection or a renumbered server leaves for the next store.
#include <gtest/gtest.h>

#include "fake_imap.h"
#include "maildir_fixture.h"
#include "store/imap_store.h"
#include "support/temp_dir.h"

namespace {

std::string text(const std::string& id, const std::string& from = "bob@example.net") {
    return mail_text({"From: " + from, "Message-ID: <" + id + "@example.net>"}, "Body of " + id + ".\n");
}

struct imap_account {
    std::shared_ptr<fake_server> server = std::make_shared<fake_server>();
    temp_dir state;

    std::shared_ptr<imap_store> open(bool dry_run = false, std::uint64_t limit = 64 << 20) {
        return imap_store::open(std::make_unique<fake_imap>(server), state.path(), {"imap://ann@test", dry_run, limit});
    }
    std::string id(const std::string& folder, std::uint32_t uid) const {
        return imap_id(server->folders.at(folder).validity, uid);
    }
};

}  // namespace

TEST(imap_store, lists_the_inbox_by_uid_and_its_unseen_mail_as_arrivals) {
    imap_account account;
    fake_server& server = *account.server;
    server.make("Lists");
    server.make("Lists/Work");
    server.make("odd.name");  // a level the seam cannot name apart from its levels
    server.add("INBOX", text("read"), true);
    server.add("INBOX", text("new"));
    server.add("INBOX", text("deleted"));
    server.folders["INBOX"].messages.back().deleted = true;
    server.add("INBOX", text("newer"));
    std::shared_ptr<imap_store> store = account.open();

    std::vector<std::string> ids;
    for (const mail_store::inbox_entry& e : store->inbox()) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::string>{account.id("INBOX", 1), account.id("INBOX", 2), account.id("INBOX", 4)}));
    EXPECT_EQ(store->arrivals(), (std::vector<std::string>{account.id("INBOX", 2), account.id("INBOX", 4)}));
    EXPECT_EQ(store->folders(), (std::vector<std::string>{"Lists", "Lists.Work"}));
    EXPECT_EQ(store->children(""), (std::vector<std::string>{"Lists"}));
    for (auto [name, valid] : std::vector<std::pair<const char*, bool>>{
             {"Lists.Work", true}, {"a/b", false}, {"INBOX", false}, {"a..b", false}, {"caf\xc3\xa9", false}})
        EXPECT_EQ(store->valid_folder_name(name), valid) << name;

    message_ref m = store->open_arrival(account.id("INBOX", 2), nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->headers()->sender, "bob@example.net");
    EXPECT_EQ(m->place(), "UID 2");
    EXPECT_EQ(m->read_content()->body, "Body of new.\n");
    // Read once: the questions are answered from what was read.
    EXPECT_EQ(server.count("BODY"), 1u);
    EXPECT_EQ(server.count("HEADER"), 3u);  // the Message-IDs of the first run's inbox record
    // Gone, and read elsewhere meanwhile: no arrival to open.
    EXPECT_FALSE(store->open_arrival(account.id("INBOX", 3), nullptr));
    server.folders["INBOX"].messages[3].seen = true;
    EXPECT_FALSE(store->open_arrival(account.id("INBOX", 4), nullptr));
    // What an earlier process stored under a fresh id may be there: a challenge is never stored twice.
    EXPECT_TRUE(account.open()->holds("Outbox", "new.1700000000.42.1"));
    EXPECT_FALSE(store->holds("INBOX", account.id("INBOX", 3)));
}

TEST(imap_store, asks_for_a_message_by_its_uid_alone_and_for_the_folders_once_a_walk) {
    imap_account account;
    fake_server& server = *account.server;
    server.make("Lists");
    server.make("Lists/Work");
    for (int i = 0; i < 100; ++i) server.add("INBOX", text("m" + std::to_string(i)));
    std::shared_ptr<imap_store> store = account.open();
    std::vector<std::string> arrivals = store->arrivals();
    server.listed = 0;
    for (const std::string& id : arrivals) {
        message_ref m = store->open_arrival(id, nullptr);
        ASSERT_TRUE(m && m->locate());
    }
    // Not the rest of the inbox from each message on: a large inbox would cost its square.
    EXPECT_LE(server.listed, 2 * arrivals.size());
    size_t lists = server.count("LIST");
    EXPECT_EQ(store->children(""), (std::vector<std::string>{"Lists"}));
    EXPECT_EQ(store->children("Lists"), (std::vector<std::string>{"Lists.Work"}));
    EXPECT_EQ(store->children("Lists.Work"), (std::vector<std::string>{}));
    EXPECT_EQ(server.count("LIST"), lists + 1);
}

TEST(imap_store, finds_special_folders_by_their_flags_else_by_the_usual_names) {
    struct row {
        std::vector<std::pair<std::string, std::vector<std::string>>> folders;
        std::string junk, sent, trash;
    } rows[] = {
        {{{"Spam", {}}, {"Bulk", {"\\Junk"}}, {"Sent", {}}, {"Bin", {"\\Trash"}}, {"Out", {"\\Sent"}}},
         "Bulk",
         "Out",
         "Bin"},
        {{{"Spam", {}}, {"Sent Items", {}}, {"Deleted Messages", {}}}, "Spam", "Sent Items", "Deleted Messages"},
        {{{"Junk", {"\\Noselect"}}, {"Archive/Sent", {}}}, "", "", ""},
    };
    for (const row& r : rows) {
        imap_account account;
        for (const auto& [name, flags] : r.folders) account.server->make(name, flags);
        std::shared_ptr<imap_store> store = account.open();
        EXPECT_EQ(store->special_folder(mail_store::special_use::junk), r.junk);
        EXPECT_EQ(store->special_folder(mail_store::special_use::sent), r.sent);
        EXPECT_EQ(store->special_folder(mail_store::special_use::trash), r.trash);
    }
}

// One arrival parked and released, by MOVE with COPYUID, by COPY + EXPUNGE, and by a MOVE that
// does not tell the new UID (found again by its size and Message-ID).
TEST(imap_store, a_moved_message_takes_its_new_id_and_keeps_the_read_state_it_was_given) {
    for (std::set<std::string> capabilities :
         std::vector<std::set<std::string>>{{"MOVE", "UIDPLUS"}, {"UIDPLUS"}, {"MOVE"}}) {
        SCOPED_TRACE(capabilities.size() == 2 ? "MOVE" : capabilities.count("MOVE") ? "no COPYUID" : "COPY");
        imap_account account;
        fake_server& server = *account.server;
        server.capabilities = capabilities;
        server.make("Pending");
        server.add("Pending", text("other"));
        server.add("INBOX", text("a"));
        std::shared_ptr<imap_store> store = account.open();
        message_ref m = store->open_arrival(account.id("INBOX", 1), nullptr);
        ASSERT_TRUE(m);
        ASSERT_TRUE(m->set_seen(true).ok());
        // Still an arrival until it leaves them.
        EXPECT_FALSE(server.folders["INBOX"].messages[0].seen);
        ASSERT_TRUE(m->move_to("Pending").ok());
        EXPECT_EQ(m->id(), account.id("Pending", 2));
        EXPECT_TRUE(store->holds("Pending", m->id()));
        EXPECT_TRUE(server.folders["INBOX"].messages.empty());
        EXPECT_TRUE(server.folders["Pending"].messages[1].seen);
        ASSERT_TRUE(m->move_to("Trash").ok());  // made for it
        ASSERT_TRUE(m->move_to("").ok());
        EXPECT_EQ(store->take_moved_into_inbox(), (std::vector<std::string>{m->id()}));
        EXPECT_EQ(server.bytes_in("INBOX"), (std::vector<std::string>{text("a")}));
        EXPECT_EQ(m->move_to("Pending").what, store_result::done);
        server.folders["Pending"].messages.pop_back();
        EXPECT_EQ(m->move_to("").what, store_result::gone);
        EXPECT_FALSE(m->move_failed());
        EXPECT_EQ(store->broken(), 0);
    }
}

// The connection drops before each command of a move by COPY in turn (the copy, the \Deleted
// mark, the expunge, and each look-up around them): a fresh store finishes or forgets the move,
// and the message is in exactly one folder. A copy of the same message was there before, which
// must not pass for the one made.
TEST(imap_store, a_move_cut_off_at_any_command_leaves_the_message_in_one_folder) {
    for (size_t step = 1;; ++step) {
        SCOPED_TRACE("drop at command " + std::to_string(step) + " of the move");
        imap_account account;
        fake_server& server = *account.server;
        server.capabilities = {"UIDPLUS"};
        server.make("Pending");
        server.add("Pending", text("a"));
        server.add("INBOX", text("a"));
        std::shared_ptr<imap_store> store = account.open();
        message_ref m = store->open_arrival(account.id("INBOX", 1), nullptr);
        ASSERT_TRUE(m);
        server.drop_at = server.log.size() + step;
        store_result moved = m->move_to("Pending");
        bool dropped = server.drop_at <= server.log.size();
        server.drop_at = 0;
        if (!dropped) {
            EXPECT_TRUE(moved.ok());
            EXPECT_TRUE(read_text_file(account.state.file("imap-moves")).find("done") != std::string::npos);
            break;
        }
        EXPECT_EQ(moved.what, store_result::failed);
        EXPECT_EQ(moved.error, ECONNRESET);
        EXPECT_EQ(store->broken(), ECONNRESET);
        EXPECT_TRUE(store->inbox().empty());  // nothing more, and nothing thrown

        std::shared_ptr<imap_store> next = account.open();
        EXPECT_EQ(next->remove_leftovers(), std::vector<std::string>{});
        size_t copies = server.folders["INBOX"].messages.size() + server.folders["Pending"].messages.size();
        EXPECT_EQ(copies, 2u);
        EXPECT_EQ(read_text_file(account.state.file("imap-moves")), "");
        ASSERT_LT(step, 20u);
    }
}

TEST(imap_store, a_dry_run_changes_nothing_on_the_server_yet_sees_its_changes) {
    imap_account account;
    fake_server& server = *account.server;
    server.add("INBOX", text("a"));
    server.add("INBOX", text("b"));
    const fake_server before = server;
    std::shared_ptr<imap_store> store = account.open(true);

    message_ref m = store->open_arrival(account.id("INBOX", 1), nullptr);
    ASSERT_TRUE(m);
    ASSERT_TRUE(m->move_to("Pending").ok());
    EXPECT_TRUE(store->has_folder("Pending"));
    EXPECT_EQ(store->folders(), std::vector<std::string>{"Pending"});
    EXPECT_EQ(store->arrivals(), std::vector<std::string>{account.id("INBOX", 2)});
    std::vector<mail_store::listed_message> parked = store->list("Pending");
    ASSERT_EQ(parked.size(), 1u);
    EXPECT_EQ(parked[0].id, m->id());
    EXPECT_EQ(store->fingerprint("Pending", m->id()), fingerprint_of(text("a")));
    ASSERT_TRUE(m->set_seen(true).ok());
    EXPECT_TRUE(store->list("Pending")[0].seen);
    std::string stored = store->new_id(), error;
    ASSERT_TRUE(store->store("Outbox", stored, text("c"), error)) << error;
    EXPECT_TRUE(store->holds("Outbox", stored));
    EXPECT_EQ(store->header_block("Outbox", store->list("Outbox")[0].id, 8192),
              text("c").substr(0, text("c").find("\n\n") + 2));
    message_ref b = store->open_arrival(account.id("INBOX", 2), nullptr);
    ASSERT_TRUE(b && b->set_seen(true).ok() && b->leave_arrivals());
    EXPECT_TRUE(store->arrivals().empty());
    ASSERT_TRUE(m->move_to("").ok());
    EXPECT_EQ(store->take_moved_into_inbox(), std::vector<std::string>{m->id()});

    EXPECT_EQ(server.folders, before.folders);
    for (const char* write : {"SELECT", "STORE", "APPEND", "MOVE", "COPY", "CREATE", "EXPUNGE"})
        EXPECT_EQ(server.count(write), 0u) << write;
    EXPECT_EQ(read_text_file(account.state.file("imap-inbox")), "");
}

// The server numbers its inbox anew: the store gives the old ids with the new ones, by
// Message-ID, size and arrival, until the host says its records hold them.
TEST(imap_store, a_new_uidvalidity_gives_the_old_ids_with_the_new) {
    imap_account account;
    fake_server& server = *account.server;
    for (const char* id : {"a", "b", "c"}) server.add("INBOX", text(id));
    server.add("INBOX", text("a"), false, 1704067300);  // the same message later is another
    EXPECT_TRUE(account.open()->renumbered().empty());
    std::string a = account.id("INBOX", 1), c = account.id("INBOX", 3), later = account.id("INBOX", 4);

    server.folders["INBOX"] = {};
    server.folders["INBOX"].validity = 7;
    server.add("INBOX", text("new"));
    server.add("INBOX", text("a"), false, 1704067300);
    server.add("INBOX", text("c"));
    server.add("INBOX", text("a"));
    std::vector<std::pair<std::string, std::string>> expected{{later, "7.2"}, {c, "7.3"}, {a, "7.4"}};
    EXPECT_EQ(account.open()->renumbered(), expected);
    std::shared_ptr<imap_store> store = account.open();
    EXPECT_EQ(store->renumbered(), expected);
    EXPECT_EQ(store->forget_renumbered(), 0);
    EXPECT_TRUE(account.open()->renumbered().empty());
}

TEST(imap_store, an_arrival_beyond_the_limit_is_read_by_its_header_alone) {
    imap_account account;
    std::string big = text("big") + std::string(5000, 'x') + "\n";
    account.server->add("INBOX", big);
    std::shared_ptr<imap_store> store = account.open(false, 1000);
    message_ref m = store->open_arrival(account.id("INBOX", 1), nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(account.server->count("BODY"), 0u);
    EXPECT_EQ(m->headers()->sender, "bob@example.net");
    EXPECT_TRUE(m->starts_with_header_field());
    EXPECT_EQ(m->size(), big.size());
    EXPECT_EQ(account.server->count("BODY"), 0u);
}
