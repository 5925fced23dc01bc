// The fixture of the delivery recipes' stories: the recipes as docs/delivery.md writes them, and a
// scratch home where a friend's and a stranger's mail are delivered through each.
#pragma once

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

// Replaces every `from` in `text` with `to`; whether there was one.
inline bool replace_all(std::string& text, const std::string& from, const std::string& to) {
    size_t count = 0;
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size(), ++count)
        text.replace(at, from.size(), to);
    return count > 0;
}

// The fenced block after "<!-- recipe: NAME -->" in docs/delivery.md, calling `program`; "" when
// there is none.
inline std::string recipe(const std::string& name, const std::string& program = TARNWICK_PROGRAM) {
    std::string doc = read_text_file(TARNWICK_DELIVERY_DOC);
    size_t marker = doc.find("<!-- recipe: " + name + " -->");
    if (marker == std::string::npos) return "";
    size_t fence = doc.find("```", marker);
    size_t start = doc.find('\n', fence) + 1;
    size_t end = doc.find("\n```", start);
    std::string text = doc.substr(start, end - start + 1);
    // The recipes name the program where the package puts it.
    replace_all(text, "/usr/bin/tarnwick", program);
    return text;
}

inline std::string program_path(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/usr/local/bin/"})
        if (::access((folder + name).c_str(), X_OK) == 0) return folder + name;
    return "";
}

// Runs `argv` with exactly `environment`, `input` on its standard input; its exit status, and what
// it wrote to standard error in `last_error`.
inline std::string last_error;
inline int run_with(const std::string& base, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment, const std::string& input) {
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

inline std::string message_from(const std::string& who, const std::string& id) {
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
    // The inbox's messages, new or not.
    std::vector<std::string> inbox() const {
        std::vector<std::string> texts;
        for (const char* subdir : {"new", "cur"})
            for (const std::string& name : tree.files_in("", subdir))
                texts.push_back(read_text_file(tree.root() + "/" + subdir + "/" + name));
        return texts;
    }
    // Delivers a friend's and a stranger's message through `deliver` (given the sender and the
    // message, it gives the exit status), then one while the data folder is held: the mail system
    // defers that one, or, `kept_when_held`, keeps it in the inbox itself for the next run.
    void check(const std::function<int(const std::string&, const std::string&)>& deliver, bool kept_when_held = false) {
        EXPECT_EQ(deliver("ann@example.org", message_from("ann@example.org", "1")), 0) << last_error;
        EXPECT_EQ(deliver("bob@example.org", message_from("bob@example.org", "2")), 0) << last_error;
        ASSERT_EQ(inbox().size(), 1u) << last_error;
        EXPECT_NE(inbox()[0].find("From: ann@example.org"), std::string::npos);
        ASSERT_EQ(tree.files_in("Pending", "cur").size(), 1u);
        std::string parked = read_text_file(tree.folder_dir("Pending") + "/cur/" + tree.files_in("Pending", "cur")[0]);
        // The envelope's sender on top; Dovecot hands the message over with CRLF line ends, which stay.
        std::string top = parked.substr(0, parked.find('\n'));
        EXPECT_TRUE(top == "Return-Path: <bob@example.org>" || top == "Return-Path: <bob@example.org>\r") << parked;
        EXPECT_EQ(tree.files_in("Outbox", "new").size(), 1u) << "the stranger is challenged";

        int held = ::open((data() + "/OstrelAntiSpam/tarnwick.lock").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        EXPECT_EQ(deliver("cat@example.org", message_from("cat@example.org", "3")), kept_when_held ? 0 : 75);
        ::close(held);
        EXPECT_EQ(tree.files_in("Pending", "cur").size(), 1u);
        ASSERT_EQ(inbox().size(), kept_when_held ? 2u : 1u) << "nothing stored by the filter while held";
        if (kept_when_held) {
            EXPECT_NE((inbox()[0] + inbox()[1]).find("From: cat@example.org"), std::string::npos);
        }
    }
    // Mail servers deliver as the mailbox's owner, never as root: under root the mail goes to
    // nobody, who gets a copy of the program (the build tree may be out of his reach) and, by
    // hand_over(), the scratch home. The program to call.
    std::string program_for_delivery() const {
        if (::geteuid() != 0) return TARNWICK_PROGRAM;
        fs::create_directories(tree.base() + "/bin");
        for (const auto& entry : fs::directory_iterator(fs::path(TARNWICK_PROGRAM).parent_path()))
            if (entry.path().filename() == "tarnwick" || entry.path().filename() == "libTarnwick.so" ||
                entry.path().extension() == ".cfg")
                fs::copy_file(entry.path(), tree.base() + "/bin/" + entry.path().filename().string());
        return tree.base() + "/bin/tarnwick";
    }
    void hand_over() const {
        if (::geteuid() != 0) return;
        for (const auto& entry : fs::recursive_directory_iterator(tree.base()))
            ASSERT_EQ(::lchown(entry.path().c_str(), nobody, nobody), 0) << entry.path();
        ASSERT_EQ(::chown(tree.base().c_str(), nobody, nobody), 0);
    }
    static constexpr uid_t nobody = 65534;
    // Writes `text` to `name` in the scratch home, private to the user as the programs demand.
    std::string private_file(const std::string& name, const std::string& text) const {
        std::string path = tree.base() + "/" + name;
        write_text_file(path, text);
        ::chmod(path.c_str(), 0600);
        return path;
    }
};
