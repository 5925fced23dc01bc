// An account on a server as the arguments and the settings file give it.
#include "cli/remote_options.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

parsed_arguments arguments_of(const temp_dir& folder, const std::string& settings, std::vector<std::string> args) {
    write_text_file(folder.file("config"), settings);
    args.insert(args.end(), {"--config", folder.file("config")});
    return read_arguments("run", args);
}

}  // namespace

TEST(remote_account_options, the_command_line_account_wins_over_the_files_maildir) {
    temp_dir folder;
    write_text_file(folder.file("ca.pem"), "-----BEGIN CERTIFICATE-----\n");
    std::string here = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());  // --tls-ca is taken from the current folder
    parsed_arguments arguments = arguments_of(
        folder, "maildir = /nowhere\nsendmail = /usr/sbin/sendmail -t\npassword-command = pass show mail\n",
        {"--imap", "imaps://ann%40example.org@mail.example.org", "--smtp", "smtp://mail.example.org", "--tls-ca",
         "ca.pem"});
    EXPECT_FALSE(arguments.has("--maildir"));
    EXPECT_FALSE(arguments.has("--sendmail"));
    std::optional<remote_account_options> account = read_remote_account_options(arguments);
    ASSERT_TRUE(account);
    EXPECT_EQ(account->imap.text(), "imaps://ann%40example.org@mail.example.org:993");
    ASSERT_TRUE(account->smtp);
    EXPECT_EQ(account->smtp->user, "ann@example.org");  // submission as the IMAP user
    EXPECT_EQ(account->password_command, "pass show mail");
    EXPECT_EQ(account->tls_ca, folder.file("ca.pem"));
    std::filesystem::current_path(here);

    // The file's account is shared with deliver: a Maildir on the command line sets it aside.
    parsed_arguments local = arguments_of(folder, "imap = imaps://ann@mail.example.org\nsmtp = smtps://x.example\n",
                                          {"--maildir", folder.path()});
    EXPECT_FALSE(read_remote_account_options(local));
    EXPECT_EQ(local.value("--maildir"), folder.path());
}
