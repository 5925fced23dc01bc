// The delivery recipes of docs/delivery.md, as written there: procmail, maildrop and Dovecot's
// delivery agent run for real over a scratch home; the Postfix and .forward command lines through
// /bin/sh with the environment those programs set. Each must put a friend's mail in the inbox, a stranger's in the
// pending folder with a challenge, and hand the mail system exit status 75 while the data folder is held.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
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

// Replaces every `from` in `text` with `to`; whether there was one.
bool replace_all(std::string& text, const std::string& from, const std::string& to) {
    size_t count = 0;
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size(), ++count)
        text.replace(at, from.size(), to);
    return count > 0;
}

// The fenced block after "<!-- recipe: NAME -->" in docs/delivery.md, calling `program`; "" when
// there is none.
std::string recipe(const std::string& name, const std::string& program = TARNWICK_PROGRAM) {
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

std::string program_path(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/usr/local/bin/"})
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
    const std::string lda = "/usr/lib/dovecot/dovecot-lda";
    if (::access(lda.c_str(), X_OK) != 0)
        GTEST_SKIP() << "dovecot-lda is not installed (Debian packages dovecot-core, dovecot-sieve)";
    // The recipe's pipe folder becomes a scratch one, with the link the recipe asks for.
    std::string settings = recipe("dovecot"), bin_dir = tree.base() + "/sieve-pipe";
    ASSERT_TRUE(replace_all(settings, "/usr/local/lib/dovecot/sieve-pipe", bin_dir)) << settings;
    fs::create_directories(bin_dir);
    std::vector<std::string> as_user;
    if (::geteuid() == 0) as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    std::string program = program_for_delivery();
    fs::create_symlink(program, bin_dir + "/tarnwick");
    // A private Dovecot: no daemon, the user's Maildir, Sieve on for delivery, and the recipe.
    std::string config = private_file(
        "dovecot.conf", "base_dir = " + tree.base() + "/dovecot-run\nlog_path = " + tree.base() +
                            "/dovecot.log\nprotocols =\nssl = no\nmail_location = maildir:" + tree.root() +
                            "\npostmaster_address = postmaster@home.example\n"
                            "protocol lda {\n  mail_plugins = sieve\n}\nplugin {\n  sieve = file:" +
                            tree.base() + "/sieve;active=" + tree.base() + "/.dovecot.sieve\n}\n" + settings);
    private_file(".dovecot.sieve", recipe("sieve"));
    hand_over();
    check(
        [&](const std::string& sender, const std::string& message) {
            std::vector<std::string> argv = as_user;
            argv.insert(argv.end(), {lda, "-c", config, "-f", sender, "-a", "me@home.example"});
            int status = run_with(tree.base(), argv, environment(std::nullopt), message);
            last_error += read_text_file(tree.base() + "/dovecot.log");
            return status;
        },
        true);
}

namespace {

// A port of 127.0.0.1 that nothing listens on now.
int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// Waits up to ten seconds for `done`.
bool within_seconds(const std::function<bool()>& done) {
    for (int tries = 0; tries < 200; ++tries) {
        if (done()) return true;
        ::usleep(50'000);
    }
    return done();
}

// Postfix's master with its own configuration folder, in a process group of its own; stopped, with
// every process it started, when this goes.
class postfix_instance {
public:
    explicit postfix_instance(const std::string& config) {
        // The daemons it starts outlive it for a moment: they become this process's children, to be reaped.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<std::string> args = {"/usr/lib/postfix/sbin/master", "-c", config, "-d"};
        std::vector<char*> pointers;
        for (std::string& arg : args) pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        if (posix_spawn(&pid_, args[0].c_str(), nullptr, &attributes, pointers.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
    }
    ~postfix_instance() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            int status = 0;
            while (::waitpid(-pid_, &status, 0) > 0 || errno == EINTR) {
            }
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    postfix_instance(const postfix_instance&) = delete;
    postfix_instance& operator=(const postfix_instance&) = delete;
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

}  // namespace

// The recipe in /etc/postfix/main.cf of a Postfix of its own: mail comes by SMTP on 127.0.0.1, and
// local(8) runs the recipe's command as the recipient, nobody.
TEST_F(delivery_recipe_test, postfix_for_real) {
    if (::access("/usr/lib/postfix/sbin/master", X_OK) != 0 || program_path("smtp-source").empty())
        GTEST_SKIP() << "Postfix is not installed (Debian package postfix)";
    if (::geteuid() != 0)
        GTEST_SKIP() << "a Postfix of one's own needs root: master and local(8) deliver as the mail's recipient";
    const std::string base = tree.base(), config = base + "/postfix";
    std::string command = recipe("postfix", program_for_delivery());
    ASSERT_EQ(command.rfind("mailbox_command = ", 0), 0u) << command;
    // The mailbox to nobody; Postfix's own folders to root and postfix.
    hand_over();
    fs::create_directories(config);
    fs::create_directories(base + "/queue");
    fs::create_directories(base + "/postfix-data");
    const passwd* postfix_user = ::getpwnam("postfix");
    ASSERT_NE(postfix_user, nullptr);
    ASSERT_EQ(::chown((base + "/postfix-data").c_str(), postfix_user->pw_uid, postfix_user->pw_gid), 0);
    // Nothing leaves: no outside destination, no biff. The daemons find this configuration by
    // MAIL_CONFIG; the recipient's home is not there, so the settings come by XDG_CONFIG_HOME, as do
    // the sanitizers' of the test run.
    std::string imported = "MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C XDG_CONFIG_HOME=" + base + "/.config",
                exported = "TZ MAIL_CONFIG LANG XDG_CONFIG_HOME";
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) {
            imported += std::string(" ") + name + "=" + value;
            exported += std::string(" ") + name;
        }
    int port = free_port();
    write_text_file(config + "/main.cf",
                    "compatibility_level = 3.6\nqueue_directory = " + base + "/queue\ndata_directory = " + base +
                        "/postfix-data\nmail_owner = postfix\nsetgid_group = postdrop\nmyhostname = home.example\n"
                        "mydestination = home.example\ninet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
                        "mynetworks = 127.0.0.0/8\nlocal_recipient_maps =\nalias_maps =\nalias_database =\n"
                        "default_transport = error:nothing leaves this test\nbiff = no\n"
                        "maillog_file_prefixes = " +
                        config + "\nmaillog_file = " + config + "/maillog\nimport_environment = " + imported +
                        "\nexport_environment = " + exported + "\n" + command);
    std::string services = "127.0.0.1:" + std::to_string(port) + " inet n - n - - smtpd\n";
    for (const char* service :
         {"pickup unix n - n 60 1 pickup", "cleanup unix n - n - 0 cleanup", "qmgr unix n - n 300 1 qmgr",
          "rewrite unix - - n - - trivial-rewrite", "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
          "trace unix - - n - 0 bounce", "flush unix n - n 1000? 0 flush", "proxymap unix - - n - - proxymap",
          "showq unix n - n - - showq", "error unix - - n - - error", "retry unix - - n - - error",
          "local unix - n n - - local", "anvil unix - - n - 1 anvil", "scache unix - - n - 1 scache",
          "postlog unix-dgram n - n - 1 postlogd"})
        services += std::string(service) + "\n";
    write_text_file(config + "/master.cf", services);
    // Postfix makes its queue's folders, then runs.
    ASSERT_EQ(run_with(base, {"/usr/sbin/postfix", "-c", config, "check"}, {"PATH=/usr/sbin:/usr/bin:/bin"}, ""), 0)
        << last_error << read_text_file(config + "/maillog");
    postfix_instance postfix(config);
    ASSERT_TRUE(postfix.started());
    ASSERT_TRUE(within_seconds([&] { return accepts(port); })) << read_text_file(config + "/maillog");

    // Each message by SMTP, then what local(8) made of it: 0 when delivered, 75 when deferred.
    size_t handled = 0;
    auto outcome_of_next = [&]() -> int {
        std::string status;
        bool seen = within_seconds([&] {
            std::string log = read_text_file(config + "/maillog");
            size_t count = 0, at = 0;
            for (size_t found; (found = log.find("relay=local", at)) != std::string::npos; at = found + 1)
                if (++count == handled + 1) status = log.substr(log.find("status=", found), 12);
            return count > handled;
        });
        ++handled;
        if (!seen) return -1;
        return status.rfind("status=sent", 0) == 0 ? 0 : status.rfind("status=defe", 0) == 0 ? 75 : -1;
    };
    check([&](const std::string& sender, const std::string& message) {
        write_text_file(base + "/message", message);
        int sent = run_with(base,
                            {"/usr/bin/timeout", "10", program_path("smtp-source"), "-f", sender, "-t",
                             "nobody@home.example", "-F", base + "/message", "127.0.0.1:" + std::to_string(port)},
                            {}, "");
        if (sent != 0) return sent;
        int status = outcome_of_next();
        last_error = read_text_file(config + "/maillog");
        return status;
    });
    // The deferred message, tried again once the data folder is free, is filtered.
    ASSERT_EQ(run_with(base, {"/usr/sbin/postqueue", "-c", config, "-f"}, {}, ""), 0) << last_error;
    EXPECT_EQ(outcome_of_next(), 0) << read_text_file(config + "/maillog");
    EXPECT_EQ(tree.files_in("Pending", "cur").size(), 2u);
}
