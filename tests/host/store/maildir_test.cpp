// The Maildir layer: names and flags, moves that never overwrite, folders, deliveries.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "maildir_fixture.h"
#include "platform/file_io.h"
#include "store/maildir.h"
#include "support/seam_guards.h"

TEST(maildir_names, flags_are_sorted_and_unknown_flags_survive) {
    struct row {
        const char* name;
        const char* flags;
        const char* expected;
    };
    const row rows[] = {
        {"1.M2P3.host", "S", "1.M2P3.host:2,S"},           // from new/: gains an info
        {"1.M2P3.host:2,FS", "SRa", "1.M2P3.host:2,RSa"},  // ASCII order, lower-case keywords last
        {"1.M2P3.host:2,S", "", "1.M2P3.host:2,"},
        {"1.M2P3.host,S=120:2,T", "TS", "1.M2P3.host,S=120:2,ST"},  // size field is part of the unique part
        {"1.M2P3.host:1,experimental", "S", "1.M2P3.host:2,S"},
        {"1.M2P3.host:2,SS", "SS", "1.M2P3.host:2,S"},
    };
    for (const row& r : rows) EXPECT_EQ(maildir::with_flags(r.name, r.flags), r.expected) << r.name;
    EXPECT_EQ(maildir::flags_of("1.M2P3.host:2,FRS"), "FRS");
    EXPECT_EQ(maildir::flags_of("1.M2P3.host"), "");
    EXPECT_EQ(maildir::flags_of("1.M2P3.host:1,S"), "");
    EXPECT_EQ(maildir::unique_part("1.M2P3.host,S=120:2,S"), "1.M2P3.host,S=120");
}

TEST(maildir_names, folder_names_that_could_leave_the_maildir_are_refused) {
    for (const char* good : {"Pending", "Lists.Work", "Grüße", "a b"})
        EXPECT_TRUE(maildir::valid_folder_name(good)) << good;
    for (const char* bad : {"", ".", "..", "../etc", "a/b", ".Hidden", "Trailing.", "a..b", "tab\there"})
        EXPECT_FALSE(maildir::valid_folder_name(bad)) << bad;
}

TEST(maildir_names, unique_names_differ_and_carry_no_separators) {
    std::string a = maildir::new_unique_name(), b = maildir::new_unique_name();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_of(":/"), std::string::npos) << a;
}

TEST(maildir_moves, a_move_never_replaces_an_existing_file) {
    maildir_tree tree;
    std::string from = tree.add("", "new", "1.A.host", "first");
    std::string to = tree.add("", "cur", "1.A.host:2,", "second");
    EXPECT_EQ(maildir::move_no_replace(from, to), EEXIST);
    EXPECT_EQ(read_text_file(from), "first");
    EXPECT_EQ(read_text_file(to), "second");
    EXPECT_EQ(maildir::move_no_replace(tree.root() + "/new/missing", tree.root() + "/cur/x"), ENOENT);
}

TEST(maildir_moves, a_move_keeps_the_arrival_time) {
    maildir_tree tree;
    std::string from = tree.add("", "new", "1.A.host", "text", 1600000000);
    tree.make_folder("Pending");
    std::string to = tree.folder_dir("Pending") + "/cur/1.A.host:2,";
    ASSERT_EQ(maildir::move_no_replace(from, to), 0);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_FALSE(file_exists(from));
}

TEST(maildir_moves, a_move_across_file_systems_copies_the_file_whole) {
    maildir_tree tree;
    tree.make_folder("Pending");
    // The other file system: shared memory, where the temporary folder is not on it.
    std::string elsewhere = (std::filesystem::path("/dev/shm") / ("tarnwick-" + maildir::new_unique_name())).string();
    std::error_code ignored;
    struct stat here {
    }, there{};
    if (!std::filesystem::create_directory(elsewhere, ignored) || ::stat(elsewhere.c_str(), &there) != 0 ||
        ::stat(tree.root().c_str(), &here) != 0 || here.st_dev == there.st_dev) {
        std::filesystem::remove_all(elsewhere, ignored);
        GTEST_SKIP() << "no second file system beside " << tree.root();
    }
    std::string from = elsewhere + "/1.A.host";
    write_text_file(from, "whole text\n");
    ::chmod(from.c_str(), 0640);
    set_arrival(from, 1600000000);
    std::string to = tree.folder_dir("Pending") + "/cur/1.A.host:2,";
    EXPECT_EQ(maildir::move_no_replace(from, to), 0);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(read_text_file(to), "whole text\n");
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << "the arrival time travels along";
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(file_exists(from));
    EXPECT_EQ(tree.files_in("Pending", "tmp"), std::vector<std::string>{});
    std::filesystem::remove_all(elsewhere, ignored);
}

TEST(maildir_moves, messages_are_found_by_their_unique_part_in_new_and_cur) {
    maildir_tree tree;
    tree.add("", "cur", "7.B.host:2,RS", "x");
    tree.add("", "new", "8.C.host", "y");
    auto found = maildir::find_by_unique(tree.root(), "7.B.host");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->subdir, "cur");
    EXPECT_EQ(found->name, "7.B.host:2,RS");
    EXPECT_FALSE(maildir::find_by_unique(tree.root(), "7.B"));
    // Hidden files (a client's temporaries) are no messages.
    tree.add("", "new", ".9.D.host", "z");
    EXPECT_EQ(maildir::list_messages(tree.root(), "new").size(), 1u);
}

TEST(maildir_moves, all_messages_come_oldest_first) {
    maildir_tree tree;
    tree.add("", "new", "3.c", "", 300);
    tree.add("", "cur", "1.a:2,S", "", 100);
    tree.add("", "new", "2.b", "", 200);
    tree.add("", "new", "0.z", "", 200);  // same second: by name
    std::vector<std::string> order;
    for (const auto& file : maildir::list_all_messages(tree.root())) order.push_back(file.name);
    EXPECT_EQ(order, (std::vector<std::string>{"1.a:2,S", "0.z", "2.b", "3.c"}));
}

TEST(maildir_folders, subfolders_follow_the_dot_levels) {
    maildir_tree tree;
    for (const char* folder : {"Pending", "Lists.Work", "Lists.Home", "Deep.Er.Est", "Trash"}) tree.make_folder(folder);
    EXPECT_EQ(maildir::subfolders(tree.root(), ""), (std::vector<std::string>{"Deep", "Lists", "Pending", "Trash"}));
    EXPECT_EQ(maildir::subfolders(tree.root(), "Lists"), (std::vector<std::string>{"Lists.Home", "Lists.Work"}));
    // ".Deep" does not exist, ".Deep.Er.Est" does: the levels between are listed all the same.
    EXPECT_EQ(maildir::subfolders(tree.root(), "Deep"), (std::vector<std::string>{"Deep.Er"}));
    EXPECT_EQ(maildir::subfolders(tree.root(), "Deep.Er"), (std::vector<std::string>{"Deep.Er.Est"}));
    EXPECT_TRUE(maildir::subfolders(tree.root(), "Pending").empty());
}

TEST(maildir_folders, created_folders_have_their_parts_and_marker) {
    maildir_tree tree;
    ASSERT_EQ(maildir::create_folder(tree.root(), "Outbox"), 0);
    EXPECT_TRUE(maildir::is_maildir(tree.folder_dir("Outbox")));
    EXPECT_TRUE(file_exists(tree.folder_dir("Outbox") + "/tmp"));
    EXPECT_TRUE(file_exists(tree.folder_dir("Outbox") + "/maildirfolder"));
    EXPECT_EQ(maildir::create_folder(tree.root(), "Outbox"), 0);  // again: fine
    EXPECT_FALSE(file_exists(tree.root() + "/maildirfolder"));
}

TEST(maildir_folders, a_delivery_goes_through_tmp_into_new) {
    maildir_tree tree;
    std::string error;
    auto path = maildir::deliver(tree.root(), "Subject: hi\n\nbody\n", error);
    ASSERT_TRUE(path) << error;
    EXPECT_EQ(read_text_file(*path), "Subject: hi\n\nbody\n");
    EXPECT_EQ(tree.files_in("", "new").size(), 1u);
    EXPECT_TRUE(tree.files_in("", "tmp").empty());
    EXPECT_FALSE(maildir::deliver(tree.root() + "/.Missing", "x", error));
    EXPECT_NE(error.find(".Missing/tmp"), std::string::npos) << error;
}

// Each step of a delivery refused in turn: nothing arrives, nothing stays in tmp/, and the
// error names the file. A folder that cannot be flushed does not undo a delivery.
TEST(maildir_folders, a_delivery_with_a_step_refused_leaves_nothing_and_names_the_file) {
    fault_hook_guard guard;
    const struct {
        file_step refused;
        const char* named;  // in the error
        bool delivered;
    } rows[] = {
        {file_step::create, "/tmp/", false}, {file_step::write, "/tmp/", false}, {file_step::flush, "/tmp/", false},
        {file_step::rename, "/new/", false}, {file_step::sync_folder, "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(file_step_name(row.refused));
        maildir_tree tree;
        std::string error;
        std::optional<std::string> path;
        {
            fault_hook_guard refuse([&](file_step step, const std::string&) { return step != row.refused; });
            path = maildir::deliver(tree.root(), "Subject: hi\n\nbody\n", error);
        }
        EXPECT_EQ(path.has_value(), row.delivered) << error;
        EXPECT_EQ(tree.files_in("", "new").size(), row.delivered ? 1u : 0u);
        EXPECT_TRUE(tree.files_in("", "tmp").empty());
        if (!row.delivered) {
            EXPECT_NE(error.find(tree.root() + row.named), std::string::npos) << error;
        }
    }
}

// A move refused at its rename leaves the message where it was, once.
TEST(maildir_moves, a_refused_move_leaves_the_message_in_place) {
    fault_hook_guard guard;
    maildir_tree tree;
    std::string from = tree.add("", "new", "1.M1P1.host", "Subject: x\n\n");
    tree.make_folder("Pending");
    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::rename; });
    EXPECT_EQ(maildir::move_no_replace(from, tree.folder_dir("Pending") + "/cur/1.M1P1.host:2,S"), EIO);
    set_file_fault_hook({});
    EXPECT_EQ(tree.files_in("", "new"), std::vector<std::string>{"1.M1P1.host"});
    EXPECT_TRUE(tree.files_in("Pending", "cur").empty());
}

// The folder marker that cannot be made is named.
TEST(maildir_folders, a_folder_whose_marker_cannot_be_made_names_it) {
    fault_hook_guard guard;
    maildir_tree tree;
    set_file_fault_hook([](file_step step, const std::string&) { return step != file_step::create; });
    std::string not_made;
    EXPECT_EQ(maildir::create_folder(tree.root(), "Trash", &not_made), EIO);
    set_file_fault_hook({});
    EXPECT_EQ(not_made, tree.folder_dir("Trash") + "/maildirfolder");
    EXPECT_EQ(maildir::create_folder(tree.root(), "Trash"), 0) << "made by the next try";
    EXPECT_TRUE(file_exists(tree.folder_dir("Trash") + "/maildirfolder"));
}

TEST(maildir_files, the_header_block_ends_at_the_first_empty_line) {
    maildir_tree tree;
    struct row {
        std::string text;
        std::string block;
    };
    const row rows[] = {
        {"From: a\nSubject: b\n\nbody\n\nmore", "From: a\nSubject: b\n\n"},
        {"From: a\r\nSubject: b\r\n\r\nbody", "From: a\r\nSubject: b\r\n\r\n"},
        {"From: a\nSubject: no body", "From: a\nSubject: no body"},
        {"\nbody only", "\n"},
    };
    for (const row& r : rows) {
        std::string path = tree.add("", "cur", "m:2,", r.text);
        EXPECT_EQ(maildir::read_header_block(path), r.block);
    }
    EXPECT_FALSE(maildir::read_header_block(tree.root() + "/cur/none"));
}
