// The delivery recipes of docs/delivery.md, as written there: procmail and maildrop run for real over a
// scratch home; the Postfix, .forward and Sieve command lines through /bin/sh with the environment
// those programs set. Each must put a friend's mail in the inbox, a stranger's in the pending
// folder with a challenge, and hand the mail system exit status 75 while the data folder is held.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "program_story.h"

namespace fs = std::filesystem;

namespace {

// The fenced block after "<!-- recipe: NAME -->" in docs/delivery.md; "" when there is none.
std::string recipe(const std::string& name) {
    std::string doc = read_text_file(TARNWICK_DELIVERY_DOC);
    size_t marker = doc.find("<!-- recipe: " + name + " -->");
    if (marker == std::string::npos) return "";
    size_t fence = doc.find("```", marker);
    size_t start = doc.find('\n', fence) + 1;
    size_t end = doc.find("\n```", start);
    std::string text = doc.substr(start, end - start + 1);
    // The recipes name the program where an installation puts it.
    for (size_t at; (at = text.find("/usr/local/bin/tarnwick")) != std::string::npos;)
        text.replace(at, 23, TARNWICK_PROGRAM);
    return text;
}

std::string program_path(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
        if (::access((folder + name).c_str(), X_OK) == 0) return folder + name;
    return "";
}

// Runs `argv` with exactly `environment`, `input` on its standard input; its exit status, and what
// it wrote to standard error in `last_error`.
std::string last_error;
int run_with(const std::string& base, const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& input) {
    static int counter = 0;
    std::string stem = base + "/recipe" + std::to_string(++counter);
    write_text_file(stem + ".in", input);
    std::vector<std::string> args = argv, env = environment;
    std::vector<char*> arg_pointers, env_pointers;
    for (std::string& arg : args) arg_pointers.push_back(arg.data());
    arg_pointers.push_back(nullptr);
    for (std::string& entry : env) env_pointers.push_back(entry.data());
    env_pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (stem + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (stem + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (stem + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int failure = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_pointers.data(), env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    last_error = read_text_file(stem + ".err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string message_from(const std::string& who, const std::string& id) {
    return mail_text({"From: " + who, "To: me@home.example", "Subject: Hello", "Message-ID: <" + id + ">"});
}

class delivery_recipe_test : public program_story {
protected:
    void SetUp() override {
        // Settings by absolute paths: maildrop and procmail may set HOME from the password file.
        fs::create_directories(tree.base() + "/.config/tarnwick");
        write_text_file(tree.base() + "/.config/tarnwick/config",
                        "maildir = " + tree.root() + "\ndata-dir = " + data() +
                            "\nlock-timeout = 1\nown-address = me@home.example\n");
        configure();
        ASSERT_EQ(tarnwick({"list", "add", "authorized", "ann@example.org"}).code, 0);
    }
    // What the mail system sets; SENDER only when it tells the sender that way.
    std::vector<std::string> environment(const std::optional<std::string>& sender) const {
        std::vector<std::string> entries = {"HOME=" + tree.base(),
                                            "XDG_CONFIG_HOME=" + tree.base() + "/.config",
                                            "PATH=/usr/bin:/bin",
                                            "USER=me",
                                            "LOGNAME=me",
                                            "SHELL=/bin/sh",
                                            "RECIPIENT=me@home.example",
                                            "ORIGINAL_RECIPIENT=me@home.example",
                                            "ORIG_RECIPIENT=me@home.example"};
        if (sender) entries.push_back("SENDER=" + *sender);
        // The sanitizers' settings of the test run reach the program.
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) entries.push_back(std::string(name) + "=" + value);
        return entries;
    }
    // Delivers a friend's and a stranger's message through `deliver` (given the sender and the
    // message, it gives the exit status), then one while the data folder is held.
    void check(const std::function<int(const std::string&, const std::string&)>& deliver) {
        EXPECT_EQ(deliver("ann@example.org", message_from("ann@example.org", "1")), 0) << last_error;
        EXPECT_EQ(deliver("bob@example.org", message_from("bob@example.org", "2")), 0) << last_error;
        ASSERT_EQ(tree.files_in("", "new").size(), 1u);
        EXPECT_NE(read_text_file(tree.root() + "/new/" + tree.files_in("", "new")[0]).find("From: ann@example.org"),
                  std::string::npos);
        ASSERT_EQ(tree.files_in("Pending", "cur").size(), 1u);
        std::string parked = read_text_file(tree.folder_dir("Pending") + "/cur/" + tree.files_in("Pending", "cur")[0]);
        EXPECT_EQ(parked.rfind("Return-Path: <bob@example.org>\n", 0), 0u) << parked;
        EXPECT_EQ(tree.files_in("Outbox", "new").size(), 1u) << "the stranger is challenged";

        int held = ::open((data() + "/OstrelAntiSpam/tarnwick.lock").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        EXPECT_EQ(deliver("cat@example.org", message_from("cat@example.org", "3")), 75);
        ::close(held);
        EXPECT_EQ(
            tree.files_in("Pending", "cur").size() + tree.files_in("", "cur").size() + tree.files_in("", "new").size(),
            2u)
            << "nothing stored while held";
    }
    // Writes `text` to `name` in the scratch home, private to the user as the programs demand.
    std::string private_file(const std::string& name, const std::string& text) const {
        std::string path = tree.base() + "/" + name;
        write_text_file(path, text);
        ::chmod(path.c_str(), 0600);
        return path;
    }
};

}  // namespace

TEST_F(delivery_recipe_test, procmail) {
    std::string procmail = program_path("procmail");
    if (procmail.empty()) GTEST_SKIP() << "procmail is not installed (Debian package procmail)";
    std::string rc = private_file(".procmailrc", recipe("procmailrc"));
    ASSERT_NE(read_text_file(rc).find(TARNWICK_PROGRAM), std::string::npos);
    check([&](const std::string& sender, const std::string& message) {
        // As the mail system runs it: the envelope sender with -f, which becomes the From line.
        return run_with(tree.base(), {procmail, "-f", sender, "HOME=" + tree.base(), rc}, environment(std::nullopt),
                        message);
    });
}

TEST_F(delivery_recipe_test, maildrop) {
    std::string maildrop = program_path("maildrop");
    if (maildrop.empty()) GTEST_SKIP() << "maildrop is not installed (Debian package maildrop)";
    std::string filter = private_file(".mailfilter", recipe("mailfilter"));
    check([&](const std::string& sender, const std::string& message) {
        return run_with(tree.base(), {maildrop, "-f", sender, filter}, environment(std::nullopt), message);
    });
}

TEST_F(delivery_recipe_test, postfix_mailbox_command) {
    std::string postfix = recipe("postfix");
    const std::string key = "mailbox_command = ";
    ASSERT_EQ(postfix.rfind(key, 0), 0u) << postfix;
    std::string command = postfix.substr(key.size(), postfix.find('\n') - key.size());
    check([&](const std::string& sender, const std::string& message) {
        return run_with(tree.base(), {"/bin/sh", "-c", command}, environment(sender), message);
    });
}

TEST_F(delivery_recipe_test, dot_forward) {
    std::string forward = recipe("forward");
    ASSERT_EQ(forward.rfind("\"|", 0), 0u) << forward;
    std::string piped = forward.substr(2, forward.find("\"\n", 2) - 2);
    check([&](const std::string& sender, const std::string& message) {
        return run_with(tree.base(), {"/bin/sh", "-c", piped}, environment(sender), message);
    });
}

TEST_F(delivery_recipe_test, dovecot_sieve_pipe) {
    std::string settings = recipe("dovecot");
    const std::string key = "sieve_pipe_bin_dir = ";
    size_t at = settings.find(key);
    ASSERT_NE(at, std::string::npos) << settings;
    EXPECT_NE(settings.find("sieve_extprograms"), std::string::npos);
    EXPECT_NE(settings.find("+vnd.dovecot.pipe"), std::string::npos);
    std::string sieve = recipe("sieve");
    ASSERT_NE(sieve.find("pipe \"tarnwick\" [\"deliver\"];"), std::string::npos) << sieve;
    // Dovecot runs the program of that name in its pipe folder with the arguments given.
    std::string bin_dir = tree.base() + "/sieve-pipe";
    fs::create_directories(bin_dir);
    fs::create_symlink(TARNWICK_PROGRAM, bin_dir + "/tarnwick");
    check([&](const std::string& sender, const std::string& message) {
        return run_with(tree.base(), {bin_dir + "/tarnwick", "deliver"}, environment(sender), message);
    });
}
