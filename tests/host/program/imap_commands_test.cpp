// `pending`, its verdicts and `digest` on an IMAP account of a real Dovecot: the list only reads,
// approve releases to INBOX and authorizes, the digest lands in INBOX and is no new mail.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "program_story.h"
#include "servers/dovecot_server.h"
#include "store/imap_connection.h"

namespace fs = std::filesystem;

namespace {

class imap_commands_test : public program_story {
protected:
    std::string url() const { return "imap://ann@127.0.0.1:" + std::to_string(server.port()); }
    outcome on_account(std::vector<std::string> args) {
        args.insert(args.end(), {"--imap", url(), "--password-command", "echo ann-secret"});
        return tarnwick(args);
    }
    // The messages of a folder of the server's Maildir, their contents by file name (which holds
    // the flags); "" for INBOX.
    std::map<std::string, std::string> mail_in(const std::string& folder) const {
        std::map<std::string, std::string> found;
        std::string dir = server.maildir() + (folder.empty() ? "" : "/." + folder);
        for (const char* sub : {"/new", "/cur"})
            if (fs::is_directory(dir + sub))
                for (const fs::directory_entry& file : fs::directory_iterator(dir + sub))
                    found[sub + file.path().filename().string()] = read_text_file(file.path().string());
        return found;
    }
    // Every message of every folder, and the data folder's files.
    std::map<std::string, std::string> everything() const {
        std::map<std::string, std::string> all;
        for (const std::string folder : {"", "Pending", "Junk", "Trash", "Outbox"})
            for (auto& [name, text] : mail_in(folder)) all["mail " + folder + name] = text;
        for (const fs::directory_entry& file : fs::recursive_directory_iterator(data()))
            if (file.is_regular_file()) all[file.path().string()] = read_text_file(file.path().string());
        return all;
    }
    static bool holds(const std::map<std::string, std::string>& mail, const std::string& text) {
        for (const auto& [name, bytes] : mail)
            if (bytes.find(text) != std::string::npos) return true;
        return false;
    }

    dovecot_server server;
};

}  // namespace

TEST_F(imap_commands_test, a_parked_stranger_is_listed_approved_to_the_inbox_and_named_in_a_digest) {
    configure();
    ASSERT_EQ(on_account({"run"}).code, 0);
    mail_url account;
    account.tls = mail_url::starttls;
    account.host = "127.0.0.1";
    account.port = server.port();
    account.user = dovecot_server::user;
    std::unique_ptr<imap_connection> user = open_imap_connection(account, dovecot_server::password, {});
    user->append("INBOX", unknown_sender("eve@example.net", "eve-1@example.net"), false);
    user->append("INBOX", unknown_sender("mal@example.net", "mal-1@example.net"), false);
    outcome ran = on_account({"run"});
    ASSERT_EQ(ran.code, 0) << ran.out << ran.err;
    ASSERT_TRUE(holds(mail_in("Pending"), "eve-1@example.net")) << ran.out;
    // Moved into the folder the server marks as junk, unnamed: a verdict all the same.
    user->select("Pending", false);
    for (const imap_connection::message_info& info : user->messages())
        if (user->header(info.uid, 4096).value_or("").find("mal-1@") != std::string::npos) user->move(info.uid, "Junk");
    user->logout();
    ran = on_account({"run"});
    EXPECT_EQ(list("remove"), std::vector<std::string>{"mal@example.net"}) << ran.out << ran.err;

    // The list reads: nothing of the server's mail nor of the data folder changes.
    std::map<std::string, std::string> before = everything();
    outcome listed = on_account({"pending"});
    EXPECT_EQ(listed.code, 0) << listed.err;
    expect_lines(listed.out, {"1 message waits in Pending of " + url(), "eve@example.net", "Hello from eve"});
    outcome json = on_account({"pending", "--json"});
    expect_lines(json.out, {"\"folder\": \"Pending\"", "\"number\": 1, ", "\"message_id\": \"<eve-1@example.net>\""});
    EXPECT_EQ(everything(), before);

    // The digest is appended to INBOX, unread; the next run takes it for no new mail.
    outcome digest = on_account({"digest"});
    ASSERT_EQ(digest.code, 0) << digest.out << digest.err;
    ASSERT_TRUE(holds(mail_in(""), "reached the pending folder Pending since")) << digest.out;
    outcome after_digest = on_account({"run"});
    EXPECT_NE(after_digest.out.find("0 messages handled"), std::string::npos) << after_digest.out;
    EXPECT_TRUE(holds(mail_in(""), "reached the pending folder Pending since"));
    EXPECT_NE(on_account({"digest"}).out.find("nothing new in Pending"), std::string::npos);

    outcome approved = on_account({"pending", "approve", "1"});
    ASSERT_EQ(approved.code, 0) << approved.out << approved.err;
    EXPECT_NE(approved.out.find("1: eve@example.net authorized"), std::string::npos) << approved.out;
    EXPECT_TRUE(holds(mail_in(""), "eve-1@example.net"));
    EXPECT_TRUE(mail_in("Pending").empty());
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"eve@example.net"});
    // Released, the message is judged: the next run leaves it alone.
    outcome after_release = on_account({"run"});
    EXPECT_NE(after_release.out.find("0 messages handled"), std::string::npos) << after_release.out;
    EXPECT_TRUE(holds(mail_in(""), "eve-1@example.net"));
}
