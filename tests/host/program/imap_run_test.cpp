// `tarnwick run` and `expire` over an IMAP account on a real Dovecot, challenges to a real SMTP
// receiver: the first run, strangers challenged and answering, judging by moving on the server,
// the dry run, a wrong password, TLS, the Outbox and expiry.
#include <algorithm>
#include <ctime>
#include <filesystem>

#include "program_story.h"
#include "servers/dovecot_server.h"
#include "servers/fake_imap.h"
#include "servers/smtp_recorder.h"
#include "servers/test_ca.h"
#include "store/imap_connection.h"

namespace fs = std::filesystem;

namespace {

// Mail as a server keeps it, CRLF line ends.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::string mail(const std::string& who, const std::string& id, const std::string& subject = "Hello") {
    return crlf(mail_text({"Return-Path: <" + who + ">", "From: " + who, "To: me@home.example", "Subject: " + subject,
                           "Message-ID: <" + id + ">"}));
}

class imap_run_test : public program_story {
protected:
    void SetUp() override {
        // A data folder that never saw this account: its first run is the real one.
        fs::remove(data() + "/OstrelAntiSpam/judged-inbox.txt");
        configure();
    }

    std::string url(const dovecot_server& on) const { return "imap://ann@127.0.0.1:" + std::to_string(on.port()); }
    std::vector<std::string> account(const std::string& password = dovecot_server::password) const {
        return {"--imap", url(server), "--password-command", "printf '%s\\n' " + password};
    }
    outcome filter(std::vector<std::string> extra = {}, const std::string& command = "run") {
        std::vector<std::string> args{command};
        for (const std::string& a : account()) args.push_back(a);
        if (command == "run") args.insert(args.end(), {"--own-address", "me@home.example"});
        args.insert(args.end(), extra.begin(), extra.end());
        outcome ran = tarnwick(args);
        EXPECT_EQ(ran.code, 0) << ran.out << ran.err << server.log();
        return ran;
    }
    std::vector<std::string> smtp_to(const smtp_recorder& r) const {
        return {"--smtp", "smtp://127.0.0.1:" + std::to_string(r.port())};
    }

    std::unique_ptr<imap_connection> connect() {
        mail_url u;
        u.tls = mail_url::starttls;
        u.host = "127.0.0.1";
        u.port = server.port();
        u.user = dovecot_server::user;
        return open_imap_connection(u, dovecot_server::password, {});
    }
    void append(const std::string& folder, const std::string& bytes, bool seen = false) {
        connect()->append(folder, bytes, seen);
    }
    // The Message-IDs in `folder`, by UID, "(read)" after those read; "-" for no such folder.
    std::vector<std::string> held(const std::string& folder) {
        auto imap = connect();
        std::vector<std::string> ids;
        try {
            imap->select(folder, true);
        } catch (const imap_error&) {
            return {"-"};
        }
        for (const auto& m : imap->messages()) {
            std::string head = imap->header(m.uid, 4096).value_or("");
            auto at = head.find("Message-ID: <");
            std::string id = at == std::string::npos ? "?" : head.substr(at + 13, head.find('>', at) - at - 13);
            ids.push_back(id + (m.seen ? " (read)" : ""));
        }
        return ids;
    }
    std::uint32_t uid_of(const std::string& folder, const std::string& id) {
        auto imap = connect();
        imap->select(folder, true);
        for (const auto& m : imap->messages())
            if (imap->header(m.uid, 4096).value_or("").find("<" + id + ">") != std::string::npos) return m.uid;
        ADD_FAILURE() << id << " is not in " << folder;
        return 0;
    }
    // Every folder with its attributes, and in each its UIDVALIDITY, UIDs, flags and internal
    // dates, as another client sees them; \Recent (which a session takes) left out.
    std::vector<std::string> snapshot() {
        std::vector<std::string> folders, lines;  // in a stable order, whatever the server's
        for (const std::string& line :
             lines_of(raw_imap(server.port(), dovecot_server::user, dovecot_server::password, {"LIST \"\" \"*\""})))
            if (line.rfind("* LIST ", 0) == 0) folders.push_back(line.substr(line.rfind(' ') + 1));
        std::sort(folders.begin(), folders.end());
        for (const std::string& folder : folders) {
            std::string said =
                raw_imap(server.port(), dovecot_server::user, dovecot_server::password,
                         {"LIST \"\" " + folder, "EXAMINE " + folder, "UID FETCH 1:* (FLAGS INTERNALDATE)"});
            for (std::string line : lines_of(said)) {
                if (line.rfind("* ", 0) != 0 || line.find("RECENT") != std::string::npos) continue;
                for (const char* recent : {" \\Recent", "\\Recent ", "\\Recent"})
                    for (auto at = line.find(recent); at != std::string::npos; at = line.find(recent))
                        line.erase(at, std::string_view(recent).size());
                lines.push_back(folder + ": " + line);
            }
        }
        return lines;
    }
    // The data folder's files with their contents.
    std::vector<std::string> data_files() const {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(data()))
            if (entry.is_regular_file())
                files.push_back(entry.path().string() + "=" + read_text_file(entry.path().string()));
        std::sort(files.begin(), files.end());
        return files;
    }

    dovecot_server server;
};

}  // namespace

TEST_F(imap_run_test, first_run_touches_nothing_then_strangers_are_challenged_once_and_their_answer_releases) {
    append("INBOX", mail("old@example.org", "old-read@x"), true);
    append("INBOX", mail("old@example.org", "old-new@x"));
    connect()->create_folder("Archive");
    append("Archive", mail("old@example.org", "filed@x"), true);
    const std::vector<std::string> before = snapshot();
    smtp_recorder smtp({.user = "ann", .password = dovecot_server::password});

    outcome first = filter(smtp_to(smtp));
    EXPECT_NE(first.err.find("first run over " + url(server) + ": the 2 messages already in the inbox are left"),
              std::string::npos)
        << first.err;
    EXPECT_EQ(held("Pending"), std::vector<std::string>{});  // made for the filter
    std::vector<std::string> after = snapshot();
    std::erase_if(after, [](const std::string& line) { return line.find("Pending") != std::string::npos; });
    EXPECT_EQ(after, before);

    ASSERT_EQ(tarnwick({"list", "add", "authorized", "friend@example.org"}).code, 0);
    append("INBOX", mail("friend@example.org", "f1@x"));
    append("INBOX", mail("stranger@example.net", "s1@x"));
    outcome second = filter(smtp_to(smtp));
    EXPECT_EQ(held("INBOX"), (std::vector<std::string>{"old-read@x (read)", "old-new@x", "f1@x"}));
    EXPECT_EQ(held("Pending"), std::vector<std::string>{"s1@x (read)"});
    std::vector<smtp_recorder::envelope> sent = smtp.envelopes();
    ASSERT_EQ(sent.size(), 1u) << second.out << second.err;
    EXPECT_EQ(sent[0].commands,
              (std::vector<std::string>{"MAIL FROM:<>", "RCPT TO:<stranger@example.net>", "AUTH ann"}));
    expect_lines(sent[0].data, {"From: me@home.example\r\n", "To: stranger@example.net\r\n",
                                "Subject: Please confirm [TWK-TESTKEY]\r\n", "Auto-Submitted: auto-replied\r\n"});
    EXPECT_EQ(list("pending"), std::vector<std::string>{"stranger@example.net"});

    filter(smtp_to(smtp));
    EXPECT_EQ(smtp.envelopes().size(), 1u);  // nobody challenged twice

    append("INBOX", mail("stranger@example.net", "s2@x", "Re: Please confirm [TWK-TESTKEY]"));
    outcome answered = filter(smtp_to(smtp));
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"friend@example.org", "stranger@example.net"}));
    EXPECT_EQ(held("Pending"), std::vector<std::string>{});
    std::vector<std::string> inbox = held("INBOX");
    EXPECT_NE(std::find(inbox.begin(), inbox.end(), "s1@x"), inbox.end()) << answered.out;
    EXPECT_EQ(smtp.envelopes().size(), 1u);
}

TEST_F(imap_run_test, moving_on_the_server_judges_and_sent_mail_gives_friends) {
    filter();
    for (const char* who : {"ann", "bob", "cat", "dan"})
        append("INBOX", mail(std::string(who) + "@example.net", std::string(who) + "@x"));
    append("Sent",
           crlf(mail_text({"From: me@home.example", "To: pal@example.org", "Subject: hi", "Message-ID: <sent@x>"})),
           true);
    filter();
    ASSERT_EQ(held("Pending").size(), 4u);
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"pal@example.org"});

    auto ann = std::to_string(uid_of("Pending", "ann@x")), bob = std::to_string(uid_of("Pending", "bob@x"));
    auto cat = uid_of("Pending", "cat@x");
    auto dan = std::to_string(uid_of("Pending", "dan@x"));
    std::string bytes;
    {
        auto imap = connect();
        imap->select("Pending", true);
        imap->body(cat, [&](std::string_view piece) { bytes += piece; });
    }
    append("INBOX", bytes);  // a client's move by APPEND, then the original deleted
    raw_imap(server.port(), dovecot_server::user, dovecot_server::password,
             {"SELECT Pending", "UID MOVE " + ann + " INBOX", "UID COPY " + bob + " Junk",
              "UID STORE " + bob + " +FLAGS (\\Deleted)", "UID EXPUNGE " + bob,
              "UID STORE " + std::to_string(cat) + "," + dan + " +FLAGS (\\Deleted)",
              "UID EXPUNGE " + std::to_string(cat) + "," + dan});

    outcome judged = filter();
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{"ann@example.net", "cat@example.net", "pal@example.org"}));
    EXPECT_EQ(list("remove"), std::vector<std::string>{"bob@example.net"});
    EXPECT_EQ(list("pending"), std::vector<std::string>{"dan@example.net"});  // deleted: no verdict
    // The appended copy was judged by the move: not filtered again.
    EXPECT_NE(judged.out.find("0 messages handled"), std::string::npos) << judged.out;
    EXPECT_EQ(held("INBOX"), (std::vector<std::string>{"cat@x", "ann@x (read)"}));
    EXPECT_EQ(held("Junk"), std::vector<std::string>{"bob@x (read)"});
}

TEST_F(imap_run_test, a_dry_run_changes_nothing_on_the_server_and_tells_the_fates) {
    filter();
    raw_imap(server.port(), dovecot_server::user, dovecot_server::password, {"DELETE Pending"});
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "friend@example.org"}).code, 0);
    append("INBOX", mail("friend@example.org", "f@x"));
    append("INBOX", mail("eve@example.net", "e@x"));
    append("Junk", mail("zed@example.net", "z@x"));
    const std::vector<std::string> server_before = snapshot(), data_before = data_files();
    smtp_recorder smtp({.user = "ann", .password = dovecot_server::password});

    std::vector<std::string> extra = smtp_to(smtp);
    extra.push_back("--dry-run");
    outcome dry = filter(extra);
    EXPECT_EQ(snapshot(), server_before);
    EXPECT_EQ(data_files(), data_before);
    EXPECT_TRUE(smtp.envelopes().empty());
    expect_lines(dry.out, {"tarnwick: dry run: nothing was changed", ": kept in the inbox\n    from friend@example.org",
                           ": moved to Pending; a challenge would be sent to eve@example.net\n"});
}

TEST_F(imap_run_test, a_wrong_password_changes_nothing_and_tls_needs_the_authority) {
    append("INBOX", mail("old@example.org", "old@x"));
    const std::vector<std::string> server_before = snapshot(), data_before = data_files();
    std::vector<std::string> args{"run"};
    for (const std::string& a : account("wrong")) args.push_back(a);
    outcome refused = tarnwick(args);
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.err.find("server " + url(server) + " refused the login of user ann"), std::string::npos)
        << refused.err;
    EXPECT_EQ(snapshot(), server_before);
    EXPECT_EQ(data_files(), data_before);

    dovecot_server secure({.tls = true});
    const std::string imaps = "imaps://ann@127.0.0.1:" + std::to_string(secure.tls_port());
    struct row {
        std::string url, ca;
        const char* error;  // "" when it works
    } rows[] = {
        {imaps, the_test_ca().ca_file, ""},
        {imaps, "", "certificate not trusted (unknown authority) for 127.0.0.1"},
        {url(secure), the_test_ca().other_ca_file, "certificate not trusted (unknown authority) for 127.0.0.1"},
    };
    for (const row& r : rows) {
        std::vector<std::string> call{"run", "--imap", r.url, "--password-command", "echo ann-secret"};
        if (!r.ca.empty()) call.insert(call.end(), {"--tls-ca", r.ca});
        outcome ran = tarnwick(call);
        EXPECT_EQ(ran.code == 0, *r.error == 0) << r.url << " " << r.ca << ": " << ran.err;
        EXPECT_NE(ran.err.find(r.error), std::string::npos) << ran.err;
    }
    // Refused before the password was sent: one login, the trusted one.
    std::string log = secure.log();
    std::size_t logins = 0;
    for (auto at = log.find("Login: user=<ann>"); at != std::string::npos; at = log.find("Login: user=<ann>", at + 1))
        ++logins;
    EXPECT_EQ(logins, 1u) << log;
}

TEST_F(imap_run_test, without_smtp_challenges_go_to_the_outbox_and_old_pending_mail_expires) {
    ASSERT_EQ(tarnwick({"config", "set", "AutoDeleteBlocked", "true"}).code, 0);
    filter();
    // An internal date fifteen days and an hour back: the default expiry is fourteen days.
    char date[64];
    std::time_t old = std::time(nullptr) - 15 * 24 * 3600 - 3600;
    std::strftime(date, sizeof date, "%d-%b-%Y %H:%M:%S +0000", std::gmtime(&old));
    const std::string bytes = mail("old@example.net", "o@x");
    raw_imap(server.port(), dovecot_server::user, dovecot_server::password,
             {"APPEND INBOX \"" + std::string(date) + "\" {" + std::to_string(bytes.size()) + "+}\r\n" + bytes});
    append("INBOX", mail("young@example.net", "y@x"));
    filter();
    EXPECT_EQ(held("Pending"), (std::vector<std::string>{"o@x (read)", "y@x (read)"}));
    std::vector<std::string> to;
    {
        auto imap = connect();
        imap->select("Outbox", true);
        for (const auto& m : imap->messages()) {
            std::string head = imap->header(m.uid, 8192).value_or("");
            EXPECT_NE(head.find("Subject: Please confirm [TWK-TESTKEY]\r\n"), std::string::npos) << head;
            to.push_back(head.substr(head.find("\r\nTo: ") + 6,
                                     head.find("\r\n", head.find("\r\nTo: ") + 2) - head.find("\r\nTo: ") - 6));
        }
    }
    std::sort(to.begin(), to.end());
    EXPECT_EQ(to, (std::vector<std::string>{"old@example.net", "young@example.net"}));

    outcome expired = filter({}, "expire");
    expect_lines(expired.out, {"1 message expired from Pending (moved to Trash)"});
    EXPECT_EQ(held("Pending"), std::vector<std::string>{"y@x (read)"});
    EXPECT_EQ(held("Trash"), std::vector<std::string>{"o@x (read)"});
    EXPECT_EQ(list("pending"), std::vector<std::string>{"young@example.net"});
}
