// IMailerHost over the Maildir store, called the way the add-in calls it: folders, moves, read state,
// deletion into Trash, messages that vanish or are renamed under the host, replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>

#include "common/mime.h"
#include "maildir_fixture.h"
#include "mailer/store_mailer.h"
#include "platform/text.h"
#include "servers/smtp_recorder.h"
#include "store/maildir_store.h"
#include "support/hresult_checks.h"

namespace {

VARIANT view(IUnknown* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = object;
    return v;
}

std::vector<com_ptr<IUnknown>> objects_of(IEnumVARIANT* items) {
    std::vector<com_ptr<IUnknown>> objects;
    variant_holder item;
    while (items && items->Next(1, item.put(), nullptr) == S_OK) objects.emplace_back(item->punkVal);
    return objects;
}

std::vector<std::string> texts_of(IEnumVARIANT* items) {
    std::vector<std::string> texts;
    variant_holder item;
    while (items && items->Next(1, item.put(), nullptr) == S_OK) texts.push_back(narrow_from_bstr(item->bstrVal));
    return texts;
}

const std::string bob_mail = mail_text(
    {"Return-Path: <bob@example.net>", "Delivered-To: me@home.example", "From: Bob <Bob@Example.net>",
     "To: me@home.example", "Subject: Bike", "Date: Mon, 01 Jan 2024 11:00:00 +0000", "Message-ID: <bike@example.net>"},
    "Is it for sale?\n");

class store_mailer_test : public testing::Test {
protected:
    void SetUp() override {
        host = store_mailer::create(maildir_store::open(tree.root()),
                                    {{"ann@example.org", "bob@example.net"}, "", {"me@home.example"}});
    }
    void TearDown() override {
        host.reset();
        EXPECT_EQ(mailer_live_objects(), 0) << "a reference handed out was never released";
    }

    com_ptr<IUnknown> inbox() {
        com_ptr<IUnknown> folder;
        EXPECT_HR(S_OK, host->get_incoming_folder(folder.put()));
        return folder;
    }
    std::string name_of(IUnknown* folder) {
        bstr_holder name;
        EXPECT_HR(S_OK, host->get_folder_name(view(folder), name.put()));
        return narrow_from_bstr(name.get());
    }
    std::vector<com_ptr<IUnknown>> children(IUnknown* folder) {
        com_ptr<IEnumVARIANT> items;
        EXPECT_HR(S_OK, host->enum_subfolders(view(folder), items.put()));
        return objects_of(items.get());
    }
    // A folder below the inbox by its name, made when missing.
    com_ptr<IUnknown> subfolder(const std::string& name) {
        variant_holder made;
        bstr_holder text(bstr_from_narrow(name));
        EXPECT_HR(S_OK, host->create_subfolder(view(inbox().get()), text.get(), made.put()));
        return com_ptr<IUnknown>(made->punkVal);
    }
    // The arrival `name` as the add-in gets it from `mailer`, its handle kept for folder_of.
    com_ptr<IUnknown> arrival(store_mailer& mailer, const std::string& name) {
        message_ref handle = mailer.store().open_arrival(name, nullptr);
        if (!handle) return {};
        com_ptr<IUnknown> object = mailer.object_for(handle);
        handles[object.get()] = handle;
        return object;
    }
    com_ptr<IUnknown> message(const std::string& name) {
        com_ptr<IUnknown> m = arrival(*host.get(), name);
        EXPECT_TRUE(m) << name;
        return m;
    }
    // The folder the message is in now; none when it is gone.
    std::optional<std::string> folder_of(IUnknown* message) {
        message_ref& handle = handles.at(message);
        if (!handle->locate()) return std::nullopt;
        return handle->folder();
    }

    maildir_tree tree;
    com_ptr<store_mailer> host;
    std::map<IUnknown*, message_ref> handles;
};

}  // namespace

TEST_F(store_mailer_test, the_tree_is_root_then_inbox_then_its_dot_folders) {
    tree.make_folder("Lists.Work");
    tree.make_folder("Archive");
    write_text_file(tree.root() + "/.tarnwick.lock", "pid 1: tarnwick run\n");  // a file, no folder
    com_ptr<IUnknown> root;
    ASSERT_HR(S_OK, host->get_root_folder(root.put()));
    auto top = children(root.get());
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(name_of(top[0].get()), "Inbox");
    std::vector<std::string> names;
    for (auto& child : children(top[0].get())) names.push_back(name_of(child.get()));
    EXPECT_EQ(names, (std::vector<std::string>{"Archive", "Lists"}));
    auto lists = children(top[0].get())[1];
    auto work = children(lists.get());
    ASSERT_EQ(work.size(), 1u);
    EXPECT_EQ(name_of(work[0].get()), "Work");
    com_ptr<IEnumVARIANT> contacts, accounts;
    ASSERT_HR(S_OK, host->enum_contacts(contacts.put()));
    EXPECT_EQ(texts_of(contacts.get()), (std::vector<std::string>{"ann@example.org", "bob@example.net"}));
    ASSERT_HR(S_OK, host->enum_accounts(accounts.put()));
    EXPECT_EQ(texts_of(accounts.get()), (std::vector<std::string>{tree.root()}));
}

TEST_F(store_mailer_test, subfolders_are_made_one_safe_level_at_a_time) {
    com_ptr<IUnknown> pending = subfolder("Pending");
    EXPECT_EQ(name_of(pending.get()), "Pending");
    EXPECT_TRUE(file_exists(tree.folder_dir("Pending") + "/maildirfolder"));
    variant_holder nested;
    bstr_holder work(bstr_from_narrow("Work"));
    ASSERT_HR(S_OK, host->create_subfolder(view(pending.get()), work.get(), nested.put()));
    EXPECT_TRUE(file_exists(tree.folder_dir("Pending.Work") + "/cur"));
    for (const char* bad : {"", "..", "../../etc", "a/b", "Two.Levels", ".Hidden"}) {
        variant_holder none;
        bstr_holder name(bstr_from_narrow(bad));
        EXPECT_HR(E_INVALIDARG, host->create_subfolder(view(inbox().get()), name.get(), none.put())) << bad;
        EXPECT_EQ(none->vt, VT_EMPTY);
    }
    std::vector<std::string> folders;
    for (const auto& entry : std::filesystem::directory_iterator(tree.root())) {
        if (entry.path().filename().string()[0] == '.') folders.push_back(entry.path().filename().string());
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, (std::vector<std::string>{".Pending", ".Pending.Work"}));
    EXPECT_FALSE(file_exists(tree.base() + "/etc"));
}

TEST_F(store_mailer_test, moves_keep_the_unique_part_and_the_flags) {
    tree.add("", "new", "1.A.host", bob_mail);
    com_ptr<IUnknown> first = message("1.A.host");
    com_ptr<IUnknown> pending = subfolder("Pending");
    ASSERT_HR(S_OK, host->move_message(view(first.get()), view(pending.get())));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"1.A.host:2,"}));
    EXPECT_EQ(folder_of(first.get()), "Pending");
    EXPECT_HR(S_OK, host->move_message(view(first.get()), view(pending.get())));  // already there
    EXPECT_EQ(host->activity().moved_into.at("Pending"), 1);

    ASSERT_HR(S_OK, host->put_unread(view(first.get()), VARIANT_FALSE));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"1.A.host:2,S"}));
    ASSERT_HR(S_OK, host->move_to_incoming(view(first.get())));
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"1.A.host:2,S"}));
    EXPECT_EQ(host->activity().released, 1);
    com_ptr<IUnknown> root;
    host->get_root_folder(root.put());
    EXPECT_HR(E_INVALIDARG, host->move_message(view(first.get()), view(root.get())));
}

TEST_F(store_mailer_test, read_state_is_the_seen_flag_and_other_flags_survive) {
    tree.add("", "new", "2.B.host", bob_mail);
    com_ptr<IUnknown> m = message("2.B.host");
    VARIANT_BOOL unread = 7;
    ASSERT_HR(S_OK, host->get_unread(view(m.get()), &unread));
    EXPECT_EQ(unread, VARIANT_TRUE);
    EXPECT_HR(S_OK, host->put_unread(view(m.get()), VARIANT_TRUE));  // already unread: stays in new/
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"2.B.host"}));
    // Another client flags it meanwhile, with a keyword of its own.
    ASSERT_EQ(std::rename((tree.root() + "/new/2.B.host").c_str(), (tree.root() + "/cur/2.B.host:2,Fa").c_str()), 0);
    ASSERT_HR(S_OK, host->put_unread(view(m.get()), VARIANT_FALSE));
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"2.B.host:2,FSa"}));
    ASSERT_HR(S_OK, host->get_unread(view(m.get()), &unread));
    EXPECT_EQ(unread, VARIANT_FALSE);
    ASSERT_HR(S_OK, host->put_unread(view(m.get()), VARIANT_TRUE));
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"2.B.host:2,Fa"}));
}

TEST_F(store_mailer_test, deleting_moves_to_trash_and_never_destroys) {
    tree.add("", "new", "3.C.host", bob_mail);
    com_ptr<IUnknown> m = message("3.C.host");
    ASSERT_FALSE(file_exists(tree.folder_dir("Trash")));
    ASSERT_HR(S_OK, host->delete_message(view(m.get())));
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"3.C.host:2,"}));
    EXPECT_EQ(read_text_file(tree.folder_dir("Trash") + "/cur/3.C.host:2,"), bob_mail);
    EXPECT_HR(S_FALSE, host->delete_message(view(m.get())));  // in Trash already: it stays
    EXPECT_EQ(tree.files_in("Trash", "cur").size(), 1u);
    EXPECT_EQ(host->activity().deleted, 1);
}

TEST_F(store_mailer_test, a_move_meeting_the_same_name_takes_a_fresh_one) {
    tree.add("", "new", "4.D.host", bob_mail);
    tree.add("Pending", "cur", "4.D.host:2,", "another message with the same name");
    com_ptr<IUnknown> m = message("4.D.host");
    com_ptr<IUnknown> pending = subfolder("Pending");
    ASSERT_HR(S_OK, host->move_message(view(m.get()), view(pending.get())));
    auto names = tree.files_in("Pending", "cur");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(read_text_file(tree.folder_dir("Pending") + "/cur/4.D.host:2,"), "another message with the same name");
    std::string moved = names[0] == "4.D.host:2," ? names[1] : names[0];
    EXPECT_EQ(read_text_file(tree.folder_dir("Pending") + "/cur/" + moved), bob_mail);
    EXPECT_EQ(folder_of(m.get()), "Pending");
}

TEST_F(store_mailer_test, a_message_renamed_by_another_client_is_found_again) {
    tree.add("", "new", "5.E.host", bob_mail);
    com_ptr<IUnknown> m = message("5.E.host");
    ASSERT_EQ(std::rename((tree.root() + "/new/5.E.host").c_str(), (tree.root() + "/cur/5.E.host:2,S").c_str()), 0);
    ASSERT_HR(S_OK, host->delete_message(view(m.get())));
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"5.E.host:2,S"}));
}

// The host lists the Maildir's folders once and again only when the root changed, and makes a
// folder once: folders that another program makes or removes meanwhile still count.
TEST_F(store_mailer_test, folders_made_or_removed_by_another_program_meanwhile_count) {
    auto names_below_inbox = [&] {
        std::vector<std::string> names;
        for (auto& child : children(inbox().get())) names.push_back(name_of(child.get()));
        return names;
    };
    tree.make_folder("Archive");
    EXPECT_EQ(names_below_inbox(), (std::vector<std::string>{"Archive"}));
    EXPECT_EQ(names_below_inbox(), (std::vector<std::string>{"Archive"}));
    // At once, within the same tick of the file system's clock.
    tree.make_folder("Lists");
    EXPECT_EQ(names_below_inbox(), (std::vector<std::string>{"Archive", "Lists"}));
    std::filesystem::remove_all(tree.folder_dir("Archive"));
    EXPECT_EQ(names_below_inbox(), (std::vector<std::string>{"Lists"}));
    ASSERT_EQ(std::rename(tree.folder_dir("Lists").c_str(), tree.folder_dir("Work").c_str()), 0);
    EXPECT_EQ(names_below_inbox(), (std::vector<std::string>{"Work"}));

    // Trash, made by the first deletion, is removed by the user before the second.
    tree.add("", "new", "8.H.host", bob_mail);
    tree.add("", "new", "9.I.host", bob_mail);
    ASSERT_HR(S_OK, host->delete_message(view(message("8.H.host").get())));
    std::filesystem::remove_all(tree.folder_dir("Trash"));
    ASSERT_HR(S_OK, host->delete_message(view(message("9.I.host").get())));
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"9.I.host:2,"}));
    EXPECT_TRUE(file_exists(tree.folder_dir("Trash") + "/maildirfolder"));
}

// A new message is read once, when it is opened: what the add-in asks of it comes from those
// bytes, while its file is still looked for where it is.
TEST_F(store_mailer_test, a_message_in_hand_is_read_once_and_still_followed_on_disk) {
    std::string path = tree.add("", "new", "10.J.host", bob_mail);
    com_ptr<IUnknown> m = message("10.J.host");
    // Another client marks it read: it moves, its content stays.
    ASSERT_EQ(std::rename(path.c_str(), (tree.root() + "/cur/10.J.host:2,S").c_str()), 0);
    bstr_holder sender, receiver, subject, extra, body;
    ASSERT_HR(S_OK, host->get_message_headers(m.get(), sender.put(), receiver.put(), subject.put(), extra.put()));
    EXPECT_EQ(narrow_from_bstr(sender.get()), "Bob@Example.net");
    EXPECT_EQ(narrow_from_bstr(subject.get()), "Bike");
    ASSERT_HR(S_OK, host->get_message_body(view(m.get()), body.put()));
    EXPECT_EQ(narrow_from_bstr(body.get()), "Is it for sale?\n");
    double arrival = 0;
    ASSERT_HR(S_OK, host->get_message_time(view(m.get()), &arrival));
    EXPECT_EQ(arrival, 1704067200.0);
    com_ptr<IUnknown> pending = subfolder("Pending");
    ASSERT_HR(S_OK, host->move_message(view(m.get()), view(pending.get())));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"10.J.host:2,S"}));
    EXPECT_TRUE(tree.files_in("", "cur").empty());
    EXPECT_EQ(folder_of(m.get()), "Pending");
}

TEST_F(store_mailer_test, a_vanished_message_gives_a_failure_code_on_every_call) {
    std::string path = tree.add("", "new", "6.F.host", bob_mail);
    com_ptr<IUnknown> m = message("6.F.host");
    com_ptr<IUnknown> pending = subfolder("Pending");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    VARIANT_BOOL unread = 7;
    double time = -1;
    bstr_holder sender, receiver, subject, extra, body;
    com_ptr<IEnumVARIANT> names;
    bstr_holder reply_subject(bstr_from_narrow("s")), reply_body(bstr_from_narrow("b"));
    EXPECT_HR(E_MESSAGE_GONE,
              host->get_message_headers(m.get(), sender.put(), receiver.put(), subject.put(), extra.put()));
    EXPECT_EQ(sender.get(), nullptr);
    EXPECT_HR(E_MESSAGE_GONE, host->get_message_body(view(m.get()), body.put()));
    EXPECT_HR(E_MESSAGE_GONE, host->enum_attachment_names(view(m.get()), names.put()));
    EXPECT_HR(E_MESSAGE_GONE, host->get_unread(view(m.get()), &unread));
    EXPECT_EQ(unread, 7);
    EXPECT_HR(E_MESSAGE_GONE, host->put_unread(view(m.get()), VARIANT_FALSE));
    EXPECT_HR(E_MESSAGE_GONE, host->get_message_time(view(m.get()), &time));
    EXPECT_HR(E_MESSAGE_GONE, host->move_message(view(m.get()), view(pending.get())));
    EXPECT_HR(E_MESSAGE_GONE, host->delete_message(view(m.get())));
    EXPECT_HR(E_MESSAGE_GONE, host->move_to_incoming(view(m.get())));
    EXPECT_HR(E_MESSAGE_GONE, host->reply_to_message(m.get(), reply_subject.get(), reply_body.get()));
    EXPECT_FALSE(folder_of(m.get()));
    EXPECT_TRUE(tree.files_in("Pending", "cur").empty());
    EXPECT_FALSE(file_exists(tree.folder_dir("Trash") + "/cur"));
    EXPECT_FALSE(host->store().open_arrival("6.F.host", nullptr));
}

TEST_F(store_mailer_test, foreign_objects_are_refused) {
    com_ptr<store_mailer> other = store_mailer::create(maildir_store::open(tree.root()), {{}, ""});
    tree.add("", "new", "7.G.host", bob_mail);
    com_ptr<IUnknown> theirs = arrival(*other.get(), "7.G.host");
    com_ptr<IUnknown> folder;
    other->get_incoming_folder(folder.put());
    EXPECT_HR(E_INVALIDARG, host->delete_message(view(theirs.get())));
    EXPECT_HR(E_INVALIDARG, host->move_message(view(message("7.G.host").get()), view(folder.get())));
    EXPECT_HR(E_INVALIDARG, host->delete_message(view(folder.get())));  // a folder is no message
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"7.G.host"}));
}

TEST_F(store_mailer_test, messages_are_found_by_sender_in_any_letter_case) {
    tree.add("Pending", "cur", "8.a:2,S", bob_mail, 100);
    tree.add("Pending", "new", "8.b", mail_text({"From: carol@example.org"}), 200);
    tree.add("Pending", "cur", "8.c:2,", mail_text({"From: BOB@EXAMPLE.NET"}), 300);
    com_ptr<IUnknown> pending = subfolder("Pending");
    for (const char* text : {"bob@example.net", "Robert <bob@Example.NET>"}) {
        com_ptr<IEnumVARIANT> found;
        bstr_holder address(bstr_from_narrow(text));
        ASSERT_HR(S_OK, host->find_messages_from(pending.get(), address.get(), found.put()));
        auto messages = objects_of(found.get());
        ASSERT_EQ(messages.size(), 2u) << text;
        ASSERT_HR(S_OK, host->delete_message(view(messages[0].get())));
        ASSERT_HR(S_OK, host->move_to_incoming(view(messages[1].get())));
        ASSERT_HR(S_OK, host->move_message(view(messages[0].get()), view(pending.get())));  // back, for the next round
        ASSERT_HR(S_OK, host->move_message(view(messages[1].get()), view(pending.get())));
    }
    com_ptr<IEnumVARIANT> none;
    bstr_holder empty(bstr_from_narrow(""));
    ASSERT_HR(S_OK, host->find_messages_from(pending.get(), empty.get(), none.put()));
    EXPECT_TRUE(objects_of(none.get()).empty());
}

TEST_F(store_mailer_test, the_oldest_message_past_the_timeout_goes_to_trash) {
    long now = static_cast<long>(std::time(nullptr));
    tree.add("Pending", "cur", "9.old:2,S", mail_text({"From: Old <Old@Example.COM>"}), now - 20 * 86400);
    tree.add("Pending", "cur", "9.mid:2,S", mail_text({"From: mid@example.com"}), now - 10 * 86400);
    tree.add("Pending", "new", "9.new", mail_text({"From: new@example.com"}), now - 3600);
    com_ptr<IUnknown> pending = subfolder("Pending");
    bstr_holder sender;
    double age = 0;
    ASSERT_HR(S_OK, host->delete_old_message(pending.get(), 14, sender.put(), &age));
    EXPECT_EQ(narrow_from_bstr(sender.get()), "old@example.com");  // lower case, as the pending list holds it
    EXPECT_NEAR(age, 20 * 86400, 120);
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"9.old:2,S"}));
    bstr_holder nobody;
    age = -1;
    EXPECT_HR(S_FALSE, host->delete_old_message(pending.get(), 14, nobody.put(), &age));
    EXPECT_EQ(nobody.get(), nullptr);
    EXPECT_EQ(age, -1);
    EXPECT_HR(S_FALSE, host->delete_old_message(pending.get(), -1, nobody.put(), &age));
    ASSERT_HR(S_OK, host->delete_old_message(pending.get(), 0, nobody.put(), &age));
    EXPECT_EQ(narrow_from_bstr(nobody.get()), "mid@example.com");
    EXPECT_EQ(host->activity().expired, 2);
}

TEST_F(store_mailer_test, headers_body_attachments_and_times_of_a_message) {
    tree.add("", "new", "10.H.host",
             mail_text({"From: Bob <Bob@Example.net>", "To: Robin <me@home.example>", "Subject: =?UTF-8?Q?K=C3=B6ln?=",
                        "Date: Mon, 01 Jan 2024 11:00:00 +0000", "Content-Type: multipart/mixed; boundary=b"},
                       "--b\nContent-Type: text/plain\n\nSee the plan.\n--b\nContent-Type: application/pdf; "
                       "name=plan.pdf\n\nx\n--b--\n"),
             1704200000);
    com_ptr<IUnknown> m = message("10.H.host");
    bstr_holder sender, receiver, subject, extra, body;
    ASSERT_HR(S_OK, host->get_message_headers(m.get(), sender.put(), receiver.put(), subject.put(), extra.put()));
    EXPECT_EQ(narrow_from_bstr(sender.get()), "Bob@Example.net");
    EXPECT_EQ(narrow_from_bstr(receiver.get()), "me@home.example");
    EXPECT_EQ(narrow_from_bstr(subject.get()), "Köln");
    ASSERT_HR(S_OK, host->get_message_body(view(m.get()), body.put()));
    EXPECT_EQ(narrow_from_bstr(body.get()), "See the plan.");
    com_ptr<IEnumVARIANT> names;
    ASSERT_HR(S_OK, host->enum_attachment_names(view(m.get()), names.put()));
    EXPECT_EQ(texts_of(names.get()), (std::vector<std::string>{"plan.pdf"}));
    double arrival = 0, written = 0;
    ASSERT_HR(S_OK, host->get_message_time(view(m.get()), &arrival));
    ASSERT_HR(S_OK, host->get_message_time2(view(m.get()), &written));
    EXPECT_EQ(arrival, 1704200000.0);
    EXPECT_EQ(written, 1704106800.0);
}

// The add-in takes mail whose sender is its receiver for mail to oneself: parked, never
// challenged. The receiver is the user's own address, so that only the user's mail is that.
TEST_F(store_mailer_test, the_receiver_is_the_user_so_only_his_own_mail_is_mail_to_oneself) {
    struct row {
        std::string fields;
        const char* receiver;
    };
    const row rows[] = {
        {"From: Me <ME@home.example>\nTo: ann@example.org", "ME@home.example"},
        {"From: x@spam.example\nTo: x@spam.example", "me@home.example"},
        {"From: x@spam.example\nTo: \"any text\" <ceo@bank.example>\nX-Original-To: x@spam.example", "me@home.example"},
        {"From: x@spam.example\nDelivered-To: x@spam.example\nTo: me@home.example", "me@home.example"},
    };
    int number = 0;
    for (const row& r : rows) {
        std::string name = "20." + std::to_string(++number) + ".host";
        tree.add("", "new", name, r.fields + "\nSubject: s\n\nbody\n");
        bstr_holder sender, receiver, subject, extra;
        ASSERT_HR(S_OK, host->get_message_headers(message(name).get(), sender.put(), receiver.put(), subject.put(),
                                                  extra.put()));
        EXPECT_EQ(narrow_from_bstr(receiver.get()), r.receiver) << r.fields;
    }
}

TEST_F(store_mailer_test, replies_go_to_the_outbox_unless_they_must_not_be_sent) {
    tree.add("", "new", "11.I.host", bob_mail);
    tree.add("", "new", "11.J.host",
             mail_text({"Return-Path: <x@lists.example.org>", "From: pat@example.com", "To: users@lists.example.org",
                        "List-Id: <users.lists.example.org>"}));
    bstr_holder subject(bstr_from_narrow("Please confirm [KEY]")), body(bstr_from_narrow("Reply, please."));
    ASSERT_HR(S_OK, host->reply_to_message(message("11.I.host").get(), subject.get(), body.get()));
    EXPECT_HR(E_ABORT, host->reply_to_message(message("11.J.host").get(), subject.get(), body.get()));
    auto stored = tree.files_in("Outbox", "new");
    ASSERT_EQ(stored.size(), 1u);
    std::string reply = read_text_file(tree.folder_dir("Outbox") + "/new/" + stored[0]);
    EXPECT_NE(reply.find("To: Bob <Bob@Example.net>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("In-Reply-To: <bike@example.net>"), std::string::npos) << reply;
    EXPECT_EQ(host->activity().replies_sent, 1);
    EXPECT_EQ(host->activity().replies_withheld, 1);
    EXPECT_EQ(host->activity().notes,
              (std::vector<std::string>{"challenge to pat@example.com withheld: mailing-list mail (List-Id)"}));
    EXPECT_EQ(tree.files_in("", "new").size(), 2u) << "answering moves nothing";
}

// Nobody writes such mail by hand: a challenge would only cost, or answer a forgery.
TEST_F(store_mailer_test, mail_too_large_or_without_header_fields_is_never_answered) {
    store_mailer_options options{{}, "", {"me@home.example"}};
    options.max_message_size = 200;
    com_ptr<store_mailer> limited = store_mailer::create(maildir_store::open(tree.root()), options);
    std::string fields = "Return-Path: <ann@example.org>\nFrom: ann@example.org\nTo: me@home.example\n";
    tree.add("", "new", "15.a", fields + "\n" + std::string(200, 'x') + "\n");
    tree.add("", "new", "15.b", "Dear me,\n" + fields + "\nbody\n");
    tree.add("", "new", "15.c", fields + "\nshort\n");
    bstr_holder subject(bstr_from_narrow("Please confirm")), body(bstr_from_narrow("Reply."));
    for (const char* name : {"15.a", "15.b"})
        EXPECT_HR(E_ABORT, limited->reply_to_message(arrival(*limited.get(), name).get(), subject.get(), body.get()));
    EXPECT_HR(S_OK, limited->reply_to_message(arrival(*limited.get(), "15.c").get(), subject.get(), body.get()));
    EXPECT_EQ(limited->activity().withheld_by, (std::map<std::string, int>{{"not mail", 1}, {"too large", 1}}));
    EXPECT_EQ(limited->activity().replies_sent, 1);
    limited.reset();
}

TEST_F(store_mailer_test, mail_that_would_spread_or_loop_a_challenge_is_withheld) {
    struct row {
        const char* file;
        std::string headers;
        const char* note;
    };
    const row rows[] = {
        {"14.a", "From: ann@example.org, bob@example.net, cat@example.com",
         "challenge to ann@example.org withheld: more than one sender address"},
        {"14.c", "From: Postmaster@mx.example",
         "challenge to Postmaster@mx.example withheld: robot or list address Postmaster@mx.example"},
        {"14.d", "From: ann@example.org\nX-Autoreply: yes",
         "challenge to ann@example.org withheld: automatic reply (X-Autoreply)"},
        {"14.e", "From: ann@example.org\nX-Autorespond: away",
         "challenge to ann@example.org withheld: automatic reply (X-Autorespond)"},
    };
    bstr_holder subject(bstr_from_narrow("Please confirm")), body(bstr_from_narrow("Reply."));
    for (const row& r : rows) {
        tree.add("", "new", r.file, mail_text({"Return-Path: <ann@example.org>", "To: me@home.example", r.headers}));
        size_t notes_before = host->activity().notes.size();
        EXPECT_HR(E_ABORT, host->reply_to_message(message(r.file).get(), subject.get(), body.get())) << r.file;
        ASSERT_EQ(host->activity().notes.size(), notes_before + 1) << r.file;
        EXPECT_EQ(host->activity().notes.back(), r.note) << r.file;
    }
    EXPECT_EQ(host->activity().replies_withheld, static_cast<int>(std::size(rows)));
    EXPECT_EQ(host->activity().replies_sent, 0);
    EXPECT_FALSE(file_exists(tree.folder_dir("Outbox")));
    // Reply-To is not whom a challenge goes to, so naming several there spreads nothing.
    tree.add("", "new", "14.b",
             mail_text({"Return-Path: <ann@example.org>", "To: me@home.example", "From: ann@example.org",
                        "Reply-To: bob@example.net, cat@example.com"}));
    EXPECT_HR(S_OK, host->reply_to_message(message("14.b").get(), subject.get(), body.get()));
    std::vector<std::string> stored = tree.files_in("Outbox", "new");
    ASSERT_EQ(stored.size(), 1u);
    header_summary challenge = parse_headers(read_text_file(tree.folder_dir("Outbox") + "/new/" + stored[0]));
    EXPECT_EQ(challenge.headers.find("To")->value, "ann@example.org");
}

TEST_F(store_mailer_test, replies_can_go_to_a_sendmail_command) {
    tree.add("", "new", "12.K.host", bob_mail);
    std::string captured = tree.base() + "/sent.eml";
    // The commands take the null sender's arguments, -f '<>', and leave them.
    com_ptr<store_mailer> sending = store_mailer::create(
        maildir_store::open(tree.root()), {{}, "sh -c 'cat > \"$0\"' '" + captured + "'", {"me@home.example"}});
    com_ptr<store_mailer> failing = store_mailer::create(
        maildir_store::open(tree.root()), {{}, "sh -c 'cat >/dev/null; exit 3' sh", {"me@home.example"}});
    bstr_holder subject(bstr_from_narrow("Please confirm")), body(bstr_from_narrow("Reply."));
    ASSERT_HR(S_OK, sending->reply_to_message(arrival(*sending.get(), "12.K.host").get(), subject.get(), body.get()));
    EXPECT_NE(read_text_file(captured).find("Subject: Please confirm"), std::string::npos);
    EXPECT_HR(E_FAIL, failing->reply_to_message(arrival(*failing.get(), "12.K.host").get(), subject.get(), body.get()));
    EXPECT_EQ(failing->activity().replies_failed, 1);
    ASSERT_EQ(failing->activity().notes.size(), 1u);
    EXPECT_NE(failing->activity().notes[0].find("exited with status 3"), std::string::npos)
        << failing->activity().notes[0];
    EXPECT_FALSE(file_exists(tree.folder_dir("Outbox")));
}

TEST_F(store_mailer_test, replies_can_go_by_smtp_submission_instead) {
    tree.add("", "new", "12.S.host", bob_mail);
    smtp_recorder server({});
    std::string error, command_ran = tree.base() + "/command-ran";
    store_mailer_options options{{}, "touch '" + command_ran + "'", {"me@home.example"}};
    options.smtp_server = parse_mail_url("smtp://127.0.0.1:" + std::to_string(server.port()), mail_url::smtp, error);
    options.smtp.timeout_seconds = 5;
    com_ptr<store_mailer> sending = store_mailer::create(maildir_store::open(tree.root()), options);
    bstr_holder subject(bstr_from_narrow("Please confirm")), body(bstr_from_narrow("Reply."));
    ASSERT_HR(S_OK, sending->reply_to_message(arrival(*sending.get(), "12.S.host").get(), subject.get(), body.get()));
    std::vector<smtp_recorder::envelope> got = server.envelopes();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].commands, (std::vector<std::string>{"MAIL FROM:<>", "RCPT TO:<Bob@Example.net>"}));
    EXPECT_NE(got[0].data.find("Subject: Please confirm\r\n"), std::string::npos);
    EXPECT_FALSE(file_exists(command_ran));
    EXPECT_FALSE(file_exists(tree.folder_dir("Outbox")));
    // A server that is not there: the challenge failed, and says where it was to go.
    options.smtp_server->port = 1;
    com_ptr<store_mailer> failing = store_mailer::create(maildir_store::open(tree.root()), options);
    EXPECT_HR(E_FAIL, failing->reply_to_message(arrival(*failing.get(), "12.S.host").get(), subject.get(), body.get()));
    ASSERT_EQ(failing->activity().notes.size(), 1u);
    EXPECT_NE(failing->activity().notes[0].find("SMTP server smtp://127.0.0.1:1: cannot connect"), std::string::npos)
        << failing->activity().notes[0];
}

TEST_F(store_mailer_test, new_mail_comes_oldest_first_and_seen_mail_is_left_alone) {
    // Unread mail that an IMAP server moved to cur/ is new mail as much as what is in new/.
    tree.add("", "new", "13.late", bob_mail, 300);
    tree.add("", "new", "13.early", bob_mail, 100);
    tree.add("", "cur", "13.seen:2,S", bob_mail, 50);
    tree.add("", "cur", "13.moved:2,F", bob_mail, 200);
    EXPECT_EQ(host->store().arrivals(), (std::vector<std::string>{"13.early", "13.moved:2,F", "13.late"}));
    com_ptr<IUnknown> early = message("13.early");
    EXPECT_TRUE(handles.at(early.get())->leave_arrivals());
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"13.early", "13.late"})) << "kept mail stays new";
    EXPECT_TRUE(host->store().open_arrival("13.moved:2,F", nullptr));
    // Another client has read the late one before its turn: it is not handed out.
    ASSERT_EQ(std::rename((tree.root() + "/new/13.late").c_str(), (tree.root() + "/cur/13.late:2,S").c_str()), 0);
    EXPECT_FALSE(host->store().open_arrival("13.late", nullptr));
}

TEST_F(store_mailer_test, the_message_in_hand_leaves_new_only_by_its_one_move) {
    // Marked read before its move: the file stays in new/ until the move carries the flag, so a
    // program killed in between leaves it to be filtered again.
    tree.add("", "new", "14.blocked", bob_mail);
    com_ptr<IUnknown> blocked = message("14.blocked");
    ASSERT_HR(S_OK, host->put_unread(view(blocked.get()), VARIANT_FALSE));
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"14.blocked"}));
    EXPECT_TRUE(tree.files_in("", "cur").empty());
    VARIANT_BOOL unread = VARIANT_TRUE;
    ASSERT_HR(S_OK, host->get_unread(view(blocked.get()), &unread));
    EXPECT_EQ(unread, VARIANT_FALSE);
    ASSERT_HR(S_OK, host->move_message(view(blocked.get()), view(subfolder("Pending").get())));
    EXPECT_EQ(tree.files_in("Pending", "cur"), (std::vector<std::string>{"14.blocked:2,S"}));
    EXPECT_TRUE(tree.files_in("", "new").empty());

    // Deleting carries it the same way; unread again before the move leaves the flag off.
    tree.add("", "new", "14.deleted", bob_mail);
    tree.add("", "new", "14.changed", bob_mail);
    com_ptr<IUnknown> deleted = message("14.deleted");
    com_ptr<IUnknown> changed = message("14.changed");
    ASSERT_HR(S_OK, host->put_unread(view(deleted.get()), VARIANT_FALSE));
    ASSERT_HR(S_OK, host->put_unread(view(changed.get()), VARIANT_FALSE));
    ASSERT_HR(S_OK, host->put_unread(view(changed.get()), VARIANT_TRUE));
    ASSERT_HR(S_OK, host->delete_message(view(deleted.get())));
    ASSERT_HR(S_OK, host->delete_message(view(changed.get())));
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"14.changed:2,", "14.deleted:2,S"}));

    // Kept mail gets the state with the move that marks it seen.
    tree.add("", "new", "14.kept", bob_mail);
    com_ptr<IUnknown> kept = message("14.kept");
    ASSERT_HR(S_OK, host->put_unread(view(kept.get()), VARIANT_FALSE));
    EXPECT_EQ(tree.files_in("", "new"), (std::vector<std::string>{"14.kept"}));
    EXPECT_TRUE(handles.at(kept.get())->leave_arrivals());
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"14.kept:2,S"}));

    // Once in cur/, the flag is renamed in place at once.
    ASSERT_HR(S_OK, host->put_unread(view(kept.get()), VARIANT_TRUE));
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"14.kept:2,"}));
}

TEST_F(store_mailer_test, a_sender_is_usable_only_as_a_plain_address) {
    struct row {
        const char* from;  // the From line, or "" for none
        bool usable;
    };
    const row rows[] = {
        {"From: Bob <Bob@Example.net>", true},
        {"From: bob@example.net (Bob)", true},
        {"", false},
        {"From: <>", false},
        {"From: Bob", false},
        {"From: @example.net", false},
        {"From: bob@", false},
        {"From: b\x01ob@example.net", false},
        {"From: \"b o b\"@example.net", false},
        // The add-in's address rule rejects a domain literal and a domain without a dot: it
        // neither challenges nor lists such a sender.
        {"From: bob@[192.0.2.1]", false},
        {"From: bob@example", false},
        {"From: Bob <bob@example.net>, eve@example.org", true},
    };
    int number = 0;
    for (const row& r : rows) {
        std::string name = "15." + std::to_string(++number);
        tree.add("", "new", name,
                 std::string(r.from).empty() ? mail_text({"To: me@home.example"})
                                             : mail_text({r.from, "To: me@home.example"}));
        EXPECT_EQ(usable_sender(*host->store().open_arrival(name, nullptr)->headers()), r.usable) << r.from;
    }
}

// Above the size limit only the header is read: the body and its attachments are never held.
// Below it the body is handed over, and handed again when asked again.
TEST_F(store_mailer_test, the_body_of_mail_above_the_size_limit_is_never_read) {
    store_mailer_options options{{}, ""};
    options.max_message_size = 4096;
    com_ptr<store_mailer> limited = store_mailer::create(maildir_store::open(tree.root()), options);
    std::string head =
        "From: ann@example.org\nTo: me@home.example\nSubject: Big\n"
        "Content-Type: multipart/mixed; boundary=b\n\n";
    auto body_of = [](size_t size) {
        return "--b\nContent-Type: text/plain\n\n" + std::string(size, 'x') +
               "\n--b\nContent-Type: application/pdf; name=plan.pdf\n\nx\n--b--\n";
    };
    tree.add("", "new", "16.big", head + body_of(5000));
    tree.add("", "new", "16.small", head + body_of(3000));
    for (const char* name : {"16.big", "16.small"}) {
        bool big = std::string(name) == "16.big";
        com_ptr<IUnknown> m = arrival(*limited.get(), name);
        bstr_holder sender, receiver, subject, extra;
        ASSERT_HR(S_OK,
                  m ? limited->get_message_headers(m.get(), sender.put(), receiver.put(), subject.put(), extra.put())
                    : E_FAIL);
        EXPECT_EQ(narrow_from_bstr(subject.get()), "Big");
        for (int ask = 0; ask < 2; ++ask) {
            bstr_holder body;
            ASSERT_HR(S_OK, limited->get_message_body(view(m.get()), body.put()));
            EXPECT_EQ(narrow_from_bstr(body.get()), big ? "" : std::string(3000, 'x')) << name << " " << ask;
        }
        com_ptr<IEnumVARIANT> names;
        ASSERT_HR(S_OK, limited->enum_attachment_names(view(m.get()), names.put()));
        EXPECT_EQ(texts_of(names.get()), big ? std::vector<std::string>{} : std::vector<std::string>{"plan.pdf"});
    }
    limited.reset();
}
