// The real `tarnwick run --dry-run`: it tells what would become of each new message and which
// challenges would go out, and leaves the Maildir and the data folder exactly as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "program_story.h"

namespace {

namespace fs = std::filesystem;

std::string mail_from(const std::string& who, const std::string& auth_results, const std::string& extra = "X-No: 1") {
    return mail_text({"Return-Path: <" + who + ">", "Authentication-Results: " + auth_results, "From: " + who,
                      "To: me@home.example", "Subject: Hello from " + who, "Message-ID: <" + who + ">", extra});
}

// Every path below `top` with its kind, bytes and modification time to the nanosecond.
std::map<std::string, std::string> snapshot(const std::string& top) {
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top)) {
        struct stat st {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0) << entry.path();
        std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) state += " " + read_text_file(entry.path());
        entries[entry.path().string()] = state;
    }
    return entries;
}

// The paths whose entry differs between two snapshots, one a line.
std::string changed(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after) {
    std::string paths;
    for (const auto& [path, state] : before) {
        auto found = after.find(path);
        if (found == after.end() || found->second != state) paths += path + "\n";
    }
    for (const auto& [path, state] : after) {
        if (!before.count(path)) paths += path + " (new)\n";
    }
    return paths;
}

// The lines "NAME: what became of it" of a dry run, by name.
std::map<std::string, std::string> told_fates(const std::string& out) {
    std::map<std::string, std::string> fates;
    size_t at = out.find("a run would do this:\n");
    for (at = at == std::string::npos ? out.size() : out.find('\n', at) + 1; out.compare(at, 3, "  1") == 0;) {
        size_t end = out.find('\n', at);
        // Each fate is followed by the message's sender and subject.
        EXPECT_EQ(out.compare(end + 1, 9, "    from "), 0) << out.substr(at);
        end = out.find('\n', end + 1);
        std::string line = out.substr(at + 2, out.find('\n', at) - at - 2);
        size_t colon = line.find(": ");
        fates[line.substr(0, colon)] = line.substr(colon + 2);
        at = end + 1;
    }
    return fates;
}

class dry_run_test : public program_story {
protected:
    std::string calls() const { return tree.base() + "/sendmail-calls"; }
    void arrive(const std::string& text) {
        ++arrivals;
        std::string name = std::to_string(1704067200 + arrivals) + ".M" + std::to_string(arrivals) + ".test";
        tree.add("", "new", name, text, 1704067200 + arrivals);
        names.push_back(name);
    }
    // Where the message `name` of the inbox's new/ is now, in the words of the dry run.
    std::string fate(const std::string& name) const {
        for (const char* folder : {"", "Pending", "Trash"}) {
            for (const char* subdir : {"new", "cur"}) {
                for (const std::string& file : tree.files_in(folder, subdir)) {
                    if (unique_of(file) != unique_of(name)) continue;
                    std::string where = folder;
                    if (where.empty()) return "kept in the inbox";
                    return where == "Trash" ? "deleted (moved to Trash)" : "moved to " + where;
                }
            }
        }
        return "gone";
    }

    int arrivals = 0;
    std::vector<std::string> names;
};

}  // namespace

TEST_F(dry_run_test, it_tells_each_fate_changes_nothing_and_a_real_run_does_what_it_told) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "remove", "spam@junk.example"}).code, 0);
    write_text_file(tree.base() + "/contacts.txt", "bob@pals.example\n");
    std::string script = tree.base() + "/sendmail.sh";
    write_text_file(script, "#!/bin/sh\ngrep -m1 '^To:' >>'" + calls() + "'\ncat >/dev/null\n");
    ::chmod(script.c_str(), 0700);
    // The user wrote to carol, so she is a friend: the sent folder's record is in the data folder.
    tree.make_folder("Sent");
    tree.add("Sent", "cur", "1704000000.M0.test:2,S",
             mail_text({"From: me@home.example", "To: carol@pals.example", "Message-ID: <mine@home.example>"}));

    const std::string trusted = "mx.home.example; dmarc=pass header.from=";
    arrive(mail_from("ann@strangers.example", trusted + "strangers.example"));
    arrive(mail_from("pay@bank.example", "mx.home.example; spf=fail smtp.mailfrom=bank.example; dmarc=fail"));
    arrive(mail_from("bob@pals.example", trusted + "pals.example"));
    arrive(mail_from("spam@junk.example", trusted + "junk.example"));
    arrive(mail_from("carol@pals.example", trusted + "pals.example"));
    std::vector<std::string> args = {
        "run",        "--maildir", tree.root(),          "--contacts",     tree.base() + "/contacts.txt",
        "--sendmail", script,      "--trusted-authserv", "mx.home.example"};

    std::map<std::string, std::string> before = snapshot(tree.root()), data_before = snapshot(data());
    args.push_back("--dry-run");
    outcome dry = tarnwick(args);
    args.pop_back();
    ASSERT_EQ(dry.code, 0) << dry.out << dry.err;
    EXPECT_EQ(changed(before, snapshot(tree.root())), "");
    EXPECT_EQ(changed(data_before, snapshot(data())), "");
    EXPECT_FALSE(fs::exists(calls())) << "the dry run sent mail";

    std::map<std::string, std::string> told = told_fates(dry.out);
    std::map<std::string, std::string> expected = {
        {names[0], "moved to Pending; a challenge would be sent to ann@strangers.example"},
        {names[1], "moved to Pending; its challenge would be withheld"},
        {names[2], "kept in the inbox"},
        {names[3], "deleted (moved to Trash)"},
        {names[4], "kept in the inbox"}};
    EXPECT_EQ(told, expected) << dry.out;
    for (const char* line : {"tarnwick: dry run: nothing was changed", "5 messages would be handled in ",
                             "challenge to pay@bank.example withheld: not authenticated"})
        EXPECT_NE(dry.out.find(line), std::string::npos) << line << "\n" << dry.out;
    EXPECT_EQ(dry.out.find("/tarnwick-dry-run."), std::string::npos) << dry.out;
    EXPECT_EQ(tarnwick({"watch", "--maildir", tree.root(), "--dry-run"}).code, 2);
    // Across file systems, where message files cannot be linked, the copy tells the same.
    if (fs::is_directory("/dev/shm")) {
        args.push_back("--dry-run");
        outcome copied = tarnwick(args, "", {"TMPDIR=/dev/shm"});
        args.pop_back();
        ASSERT_EQ(copied.code, 0) << copied.out << copied.err;
        EXPECT_EQ(told_fates(copied.out), told);
        EXPECT_EQ(changed(before, snapshot(tree.root())), "");
    }

    outcome real = tarnwick(args);
    ASSERT_EQ(real.code, 0) << real.out << real.err;
    for (const auto& [name, said] : told) EXPECT_EQ(fate(name), said.substr(0, said.find(';'))) << name;
    EXPECT_EQ(read_text_file(calls()), "To: ann@strangers.example\n");
}

// The dry run reads the sent mail of the copy as the index of the real folder remembers it: mail
// read before is not new, and a friend the user took off the list stays off, as in a real run.
TEST_F(dry_run_test, sent_mail_read_before_is_not_read_again) {
    ASSERT_EQ(tarnwick({"config", "set", "EnableProtection", "true"}).code, 0);
    tree.make_folder("Sent");
    tree.add("Sent", "cur", "1704000000.M0.test:2,S",
             mail_text({"From: me@home.example", "To: carol@pals.example", "Message-ID: <mine@home.example>"}));
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    ASSERT_EQ(tarnwick({"list", "remove", "authorized", "carol@pals.example"}).code, 0);
    tree.add("Sent", "new", "1704000001.M1.test", mail_text({"From: me@home.example", "To: dan@pals.example"}));
    for (bool dry : {true, false}) {
        std::vector<std::string> args = {"run", "--maildir", tree.root()};
        if (dry) args.push_back("--dry-run");
        outcome ran = tarnwick(args);
        ASSERT_EQ(ran.code, 0) << ran.out << ran.err;
        EXPECT_NE(ran.out.find("friends added                 1  (read 1 new in .Sent)"), std::string::npos)
            << (dry ? "dry run\n" : "real run\n") << ran.out;
    }
}
