// The commands that edit the data folder, `config` and `list`, end to end: wrong arguments, names
// and values as typed, verdicts reaching the Maildir, and writes that fail.
#include <filesystem>

#include "program_story.h"

namespace fs = std::filesystem;

namespace {
class commands_test : public program_story {};
}  // namespace

TEST_F(commands_test, wrong_arguments_exit_with_two_and_write_nothing) {
    tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
    std::string not_a_maildir = tree.base() + "/plain";
    fs::create_directory(not_a_maildir);
    write_text_file(tree.base() + "/file", "x");
    struct row {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string root = tree.root(), base = tree.base();
    const row rows[] = {
        {{}, "a command is needed"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"run", "--maildir"}, "--maildir needs a value"},
        {{"run", "--maildir", base + "/missing"}, "is not a folder"},
        {{"run", "--maildir", base + "/file"}, "is not a folder"},
        {{"run", "--maildir", not_a_maildir}, "not a readable Maildir"},
        {{"run", "--maildir", root, "--colour"}, "unknown option --colour"},
        {{"run", "--maildir", root, "--maildir", root}, "--maildir is given twice"},
        {{"run", "--maildir", root, "extra"}, "unexpected argument extra"},
        {{"run", "--maildir", root, "--contacts", base + "/missing.vcf"}, "missing.vcf"},
        {{"watch", "--maildir", root, "--wait=yes"}, "--wait takes no value"},
        {{"config"}, "config needs show, get or set"},
        {{"config", "set", "Colour", "red"}, "unknown setting Colour"},
        {{"config", "set", "EnableProtection", "maybe"}, "use true or false"},
        {{"config", "set", "LanguageId", "70000"}, "at most 65535"},
        {{"config", "set", "PendingToBlockedTimeo", "-1"}, "whole number"},
        {{"config", "set", "ARSubject", ";"}, "a text of only ';' reads back as empty"},
        {{"config", "set", "ARSubject", "two\nlines"}, "line breaks"},
        {{"config", "set", "ARSubjectKey", " [K]"}, "it cannot start or end with a blank"},
        {{"config", "set", "ARMessage", "Bye\t"}, "it cannot start or end with a blank"},
        {{"config", "set", "PendingFolderName", "Spam"}, "cannot be changed"},
        {{"config", "set", "EnableProtection", "true", "ARSubject"}, "ARSubject needs a value"},
        {{"config", "get", "HelpDlgEnabled"}, "needs a dialog number"},
        {{"list", "add", "friends", "bob@example.net"}, "unknown list friends"},
        {{"list", "add", "authorized", "Bob Example"}, "no address in: Bob Example"},
        {{"list", "add", "authorized", "@example.net"}, "a whole domain as .@example.net"},
        {{"list", "add", "authorized", "Bob <bob@example>"}, "no address in"},
        {{"list", "add", "ignore", "ann@example.org, bob@example.org"}, "more than one address in"},
        {{"list", "modify", "ignore", "a@b.cd", "x@y.ef, z@y.ef"}, "more than one address in"},
        {{"list", "modify", "ignore", "bob@example.net"}, "needs OLD and NEW"},
        {{"list", "remove", "pending", "a@b.cd", "--maildir", root}, "--maildir and --contacts go with list add"},
    };
    std::vector<std::string> before = tree.snapshot();
    for (const row& r : rows) {
        // Without --data-dir: the data folder would be made in $HOME/.local/share.
        outcome result = run(base, r.args);
        EXPECT_EQ(result.code, 2) << r.says << "\n" << result.err;
        EXPECT_NE(result.err.find(r.says), std::string::npos) << "expected \"" << r.says << "\" in\n" << result.err;
        EXPECT_FALSE(file_exists(base + "/.local")) << r.says << ": the data folder was made";
    }
    outcome bad_data = run(base, {"config", "show", "--data-dir", base + "/file"});
    EXPECT_EQ(bad_data.code, 2);
    EXPECT_NE(bad_data.err.find("is not a folder"), std::string::npos) << bad_data.err;
    EXPECT_EQ(tree.snapshot(), before);
    EXPECT_EQ(run(base, {"--help"}).code, 0);
    EXPECT_NE(run(base, {"run", "--help"}).out.find("--sendmail CMD"), std::string::npos);
}

TEST_F(commands_test, every_command_the_overview_lists_answers_its_own_help) {
    outcome overview = run(tree.base(), {"--help"});
    ASSERT_EQ(overview.code, 0) << overview.err;
    // A command's line starts two blanks in; the lines that continue a summary start further in.
    std::vector<std::string> listed;
    for (const std::string& line : lines_of(overview.out)) {
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ')
            listed.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"run", "watch", "deliver", "config", "list", "stats", "pending",
                                                "digest", "why", "expire", "--version"}));
    for (const std::string& name : listed) {
        outcome help = run(tree.base(), {name, "--help"});
        EXPECT_EQ(help.code, 0) << name << ": " << help.err;
        EXPECT_EQ(help.out.rfind("usage: tarnwick ", 0), 0u) << name << ":\n" << help.out;
        EXPECT_NE(help.out.find("tarnwick " + name), std::string::npos) << name << ":\n" << help.out;
    }
    EXPECT_FALSE(file_exists(tree.base() + "/.local")) << "asking for help made the data folder";
}

TEST_F(commands_test, version_is_one_line_whatever_the_settings_file_holds) {
    fs::create_directories(tree.base() + "/config/tarnwick");
    write_text_file(tree.base() + "/config/tarnwick/config", "colour = red\n");
    outcome version = run(tree.base(), {"--version"}, "", {"XDG_CONFIG_HOME=" + tree.base() + "/config"});
    EXPECT_EQ(version.code, 0) << version.err;
    EXPECT_EQ(version.out, "tarnwick " TARNWICK_VERSION "\n");
    EXPECT_EQ(run(tree.base(), {"--version", "extra"}).code, 2);
}

TEST_F(commands_test, settings_are_read_and_written_by_name) {
    outcome set = tarnwick({"config", "set", "enableprotection", "yes", "PendingToBlockedTimeo", "21", "ARMessage", "-",
                            "HelpDlgEnabled", "3", "off"},
                           "Hello,\r\nplease confirm.\n");
    ASSERT_EQ(set.code, 0) << set.err;
    SCOPED_TRACE("step: names in any case, values in their written forms");
    EXPECT_NE(set.out.find("ARMessage = Hello,\n            please confirm."), std::string::npos) << set.out;
    EXPECT_EQ(tarnwick({"config", "get", "EnableProtection"}).out, "true\n");
    EXPECT_EQ(tarnwick({"config", "get", "PendingToBlockedTimeo"}).out, "21\n");
    EXPECT_EQ(tarnwick({"config", "get", "ARMessage"}).out, "Hello,\nplease confirm.\n");
    EXPECT_EQ(tarnwick({"config", "get", "HelpDlgEnabled", "3"}).out, "false\n");
    EXPECT_EQ(tarnwick({"config", "get", "HelpDlgEnabled", "4"}).out, "true\n");
    std::string file = read_text_file(data() + "/OstrelAntiSpam/ostrel.cfg");
    EXPECT_NE(file.find("PendingToBlockedTimeo = 21 ;\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("ARMessage = Hello,\x01please confirm. ;"), std::string::npos) << file;
    outcome shown = tarnwick({"config", "show"});
    EXPECT_NE(shown.out.find("PendingFolderName = Pending\n"), std::string::npos) << shown.out;
    SCOPED_TRACE("step: a ';' is kept whole through the file, and a key the subject lacks is named");
    ASSERT_EQ(tarnwick({"config", "set", "ARSubject", "Confirm; please [TWK-TESTKEY]"}).code, 0);
    EXPECT_EQ(tarnwick({"config", "get", "ARSubject"}).out, "Confirm; please [TWK-TESTKEY]\n");
    outcome emptied = tarnwick({"config", "set", "ARSubjectKey", ""});
    EXPECT_EQ(emptied.code, 0);
    EXPECT_NE(emptied.err.find("ARSubjectKey is empty"), std::string::npos) << emptied.err;
    outcome mismatch = tarnwick({"config", "set", "ARSubjectKey", "[OTHER]"});
    EXPECT_EQ(mismatch.code, 0);
    EXPECT_NE(mismatch.err.find("ARSubject does not contain ARSubjectKey"), std::string::npos) << mismatch.err;
}

TEST_F(commands_test, lists_are_edited_and_verdicts_reach_the_maildir) {
    configure();
    SCOPED_TRACE("step: add, modify and remove by address");
    EXPECT_EQ(tarnwick({"list", "add", "authorized", "Bob@Example.NET", ".@friends.example"}).code, 0);
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{".@friends.example", "bob@example.net"}));
    EXPECT_EQ(tarnwick({"list", "add", "ignore", "bob@example.net"}).code, 0);  // one list at a time
    EXPECT_EQ(list("authorized"), (std::vector<std::string>{".@friends.example"}));
    EXPECT_EQ(tarnwick({"list", "modify", "ignore", "BOB@example.net", "carl@example.org"}).code, 0);
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"carl@example.org"}));
    outcome missing = tarnwick({"list", "remove", "ignore", "nobody@example.org"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("nobody@example.org is not on the ignore list"), std::string::npos) << missing.err;
    EXPECT_EQ(tarnwick({"list", "remove", "ignore", "Carl <carl@example.org>"}).code, 0);
    EXPECT_TRUE(list("ignore").empty());
    SCOPED_TRACE("step: addresses as a mail program shows them are stored as the add-in keeps senders");
    outcome pasted = tarnwick({"list", "add", "ignore", "\"Example, Ann\" <Ann@Example.ORG>", "<Fay@Example.org>",
                               "Gil Example <gil@example.org>"});
    ASSERT_EQ(pasted.code, 0) << pasted.err;
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"ann@example.org", "fay@example.org", "gil@example.org"}));
    EXPECT_EQ(tarnwick({"list", "modify", "ignore", "<ANN@example.org>", "Hal <Hal@Example.org>"}).code, 0);
    EXPECT_EQ(tarnwick({"list", "remove", "ignore", "fay@example.org", "Gil <gil@example.org>"}).code, 0);
    EXPECT_EQ(list("ignore"), (std::vector<std::string>{"hal@example.org"}));

    SCOPED_TRACE("step: authorizing a pending sender releases the mail waiting for it; the remove list deletes");
    tree.add("Pending", "cur", "100.a.test:2,S", unknown_sender("dan@example.org", "d1@x"), 100);
    tree.add("Pending", "cur", "200.b.test:2,S", unknown_sender("dan@example.org", "d2@x"), 200);
    tree.add("", "cur", "300.c.test:2,", unknown_sender("eve@example.org", "e1@x"), 300);
    ASSERT_EQ(tarnwick({"list", "add", "pending", "dan@example.org"}).code, 0);
    outcome released = tarnwick({"list", "add", "authorized", "dan@example.org", "--maildir", tree.root()});
    ASSERT_EQ(released.code, 0) << released.err;
    EXPECT_NE(released.out.find("released to the inbox: 2"), std::string::npos) << released.out;
    EXPECT_EQ(tree.files_in("", "cur"), (std::vector<std::string>{"100.a.test:2,", "200.b.test:2,", "300.c.test:2,"}));
    EXPECT_TRUE(list("pending").empty());
    outcome removed = tarnwick({"list", "add", "remove", "eve@example.org", "--maildir", tree.root()});
    ASSERT_EQ(removed.code, 0) << removed.err;
    EXPECT_EQ(tree.files_in("Trash", "cur"), (std::vector<std::string>{"300.c.test:2,S"}));
}

TEST_F(commands_test, settings_that_hold_nothing_are_reported_once) {
    fs::create_directories(data() + "/OstrelAntiSpam");
    write_text_file(data() + "/OstrelAntiSpam/ostrel.cfg", "// emptied by hand\r\n");
    write_text_file(data() + "/OstrelAntiSpam/ostrel_original.cfg", "");
    const std::string warning =
        "tarnwick: warning: ostrel.cfg in the data folder holds no setting, so protection is off\n";
    outcome ran = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(ran.code, 0) << ran.err;
    auto at = ran.err.find(warning);
    EXPECT_NE(at, std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find(warning, at + 1), std::string::npos) << ran.err;
    EXPECT_NE(read_text_file(data() + "/OstrelAntiSpam/dlog.log").find("ostrel.cfg holds no setting"),
              std::string::npos);

    SCOPED_TRACE("step: configured, no warning");
    configure();
    outcome configured = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(configured.err.find(warning), std::string::npos) << configured.err;
}

// A file the program must replace stands as a directory: every write of it fails, as on a full
// disk, and each command must say what was not kept and exit 1.
TEST_F(commands_test, writes_that_fail_are_named_and_exit_with_one) {
    configure();
    const std::string store = data() + "/OstrelAntiSpam";
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    struct row {
        const char* file;
        std::vector<std::string> args;
        const char* says;
    };
    const row rows[] = {
        {"authorized.lst", {"list", "add", "authorized", "bob@example.org"}, "the authorized list was not saved"},
        {"ostrel.cfg", {"config", "set", "ARSubject", "Changed [TWK-TESTKEY]"}, "the settings were not saved"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string("step: ") + r.file + " cannot be replaced");
        fs::remove(store + "/" + r.file);
        fs::create_directory(store + "/" + r.file);
        outcome failed = tarnwick(r.args);
        EXPECT_EQ(failed.code, 1);
        EXPECT_NE(failed.err.find(r.says), std::string::npos) << failed.err;
        EXPECT_EQ(failed.out.find("entries"), std::string::npos) << failed.out;
        fs::remove(store + "/" + r.file);
    }
    configure();

    SCOPED_TRACE("step: the run handles every message it can, then names the lists not saved");
    fs::remove(store + "/pending.lst");
    fs::create_directory(store + "/pending.lst");
    tree.make_folder("Pending");
    tree.add("", "new", "100.a.test", unknown_sender("cat@example.org", "c1@x"), 100);
    outcome unsaved = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(unsaved.code, 1);
    EXPECT_NE(unsaved.out.find("lists not saved"), std::string::npos) << unsaved.out;
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
    fs::remove(store + "/pending.lst");

    SCOPED_TRACE("step: a pending folder whose cur/ cannot take mail: the message stays, and the run says so");
    fs::remove_all(tree.folder_dir("Pending"));
    tree.make_folder("Pending");
    fs::remove(tree.folder_dir("Pending") + "/cur");
    write_text_file(tree.folder_dir("Pending") + "/cur", "not a folder");
    tree.add("", "new", "200.b.test", unknown_sender("dan@example.org", "d1@x"), 200);
    outcome unmoved = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(unmoved.code, 1);
    EXPECT_NE(unmoved.out.find("moves failed                  1"), std::string::npos) << unmoved.out;
    EXPECT_NE(unmoved.out.find("cannot move 200.b.test"), std::string::npos) << unmoved.out;
    EXPECT_EQ(tree.files_in("", "new").size() + tree.files_in("", "cur").size(), 1u);
}

#ifdef TARNWICK_FAULT_SHIM
// The same with the system itself refusing: a full disk at the flush or at the rename.
TEST_F(commands_test, a_full_disk_at_flush_or_rename_loses_nothing_and_says_so) {
    configure();
    ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    for (const char* step : {"fsync", "rename"}) {
        std::vector<std::string> full_disk = {"LD_PRELOAD=" TARNWICK_FAULT_SHIM,
                                              std::string("TARNWICK_SHIM_FAIL=") + step, "TARNWICK_SHIM_ERRNO=28"};
        outcome added = run(tree.base(), with_data({"list", "add", "authorized", "bob@example.org"}), "", full_disk);
        EXPECT_EQ(added.code, 1) << step;
        EXPECT_NE(added.err.find("the authorized list was not saved"), std::string::npos) << step << ": " << added.err;
        outcome set =
            run(tree.base(), with_data({"config", "set", "ARSubject", "Changed [TWK-TESTKEY]"}), "", full_disk);
        EXPECT_EQ(set.code, 1) << step;
        EXPECT_NE(set.err.find("the settings were not saved"), std::string::npos) << step << ": " << set.err;
    }
    EXPECT_EQ(list("authorized"), std::vector<std::string>{"ann@example.org"});
    EXPECT_EQ(tarnwick({"config", "get", "ARSubject"}).out, "Please confirm [TWK-TESTKEY]\n");
}
#endif
