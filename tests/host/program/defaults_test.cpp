// What a user gets without settings: ~/Maildir, made when missing, as a mail system's delivery
// finds it; and optional folders the settings name that do not exist only warn.
#include <filesystem>

#include "program_story.h"

namespace fs = std::filesystem;

namespace {

class defaults_test : public program_story {};

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_F(defaults_test, missing_junk_and_sent_folders_warn_once_and_never_defer_mail) {
    configure();
    write_text_file(tree.base() + "/.config/tarnwick/config",
                    "maildir = ~/Maildir\nsent-folder = Sent\njunk-folder = Junk\nown-address = me@home.example\n");
    outcome delivered = tarnwick({"deliver"}, unknown_sender("ann@example.org", "a@x"));
    EXPECT_EQ(delivered.code, 0) << delivered.err;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
    expect_lines(delivered.err, {"sent-folder: Sent is not a folder of", "no friends are found in sent mail",
                                 "junk-folder: Junk is not a folder of"});
    EXPECT_EQ(count_of(delivered.err, "is not a folder of"), 2u) << delivered.err;

    tree.add("", "new", "1.bob.test", unknown_sender("bob@example.org", "b@x"));
    outcome ran = tarnwick({"run"});
    EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
    EXPECT_EQ(count_of(ran.out, "is not a folder of"), 2u) << ran.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 2u);
}

TEST_F(defaults_test, a_mailbox_command_without_settings_delivers_into_a_maildir_it_makes) {
    // Postfix's mailbox_command: HOME and the envelope in the environment, nothing else.
    fs::remove(tree.base() + "/.config/tarnwick/config");
    fs::remove_all(tree.root());
    outcome delivered = run(tree.base(), {"deliver"}, unknown_sender("ann@example.org", "a@x"),
                            {"SENDER=ann@example.org", "RECIPIENT=me@home.example"});
    EXPECT_EQ(delivered.code, 0) << delivered.err;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);  // stored and filtered: a stranger's
    EXPECT_TRUE(fs::is_directory(tree.root() + "/new") && fs::is_directory(tree.root() + "/tmp"));
    EXPECT_TRUE(fs::is_directory(tree.base() + "/.local/share/OstrelAntiSpam"));
}
