// The Postfix recipe under a Postfix of its own (see delivery_recipe_test.cpp for the others).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include "delivery_recipe.h"

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port of 127.0.0.1 that nothing listens on now (0), or whether something accepts on `port`.
int probe(int port = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    socklen_t size = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    int result = port ? ::connect(fd, generic, size) == 0
                      : (::bind(fd, generic, size), ::getsockname(fd, generic, &size), ntohs(address.sin_port));
    ::close(fd);
    return result;
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
    int port = probe();
    write_text_file(config + "/main.cf",
                    "compatibility_level = 3.6\nqueue_directory = " + base + "/queue\ndata_directory = " + base +
                        "/postfix-data\nmail_owner = postfix\nsetgid_group = postdrop\nmyhostname = home.example\n"
                        "mydestination = home.example\ninet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
                        "mynetworks = 127.0.0.0/8\nlocal_recipient_maps =\nalias_maps =\nalias_database =\n"
                        "default_transport = error:nothing leaves this test\nbiff = no\n"
                        "maillog_file_prefixes = " +
                        config + "\nmaillog_file = " + config + "/maillog\nimport_environment = " + imported +
                        "\nexport_environment = " + exported + "\n" + command);
    write_text_file(config + "/master.cf", "127.0.0.1:" + std::to_string(port) + R"( inet n - n - - smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
local unix - n n - - local
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
)");
    // Postfix makes its queue's folders, then runs.
    ASSERT_EQ(run_with(base, {"/usr/sbin/postfix", "-c", config, "check"}, {"PATH=/usr/sbin:/usr/bin:/bin"}, ""), 0)
        << last_error << read_text_file(config + "/maillog");
    postfix_instance postfix(config);
    ASSERT_TRUE(postfix.started());
    ASSERT_TRUE(within_seconds([&] { return probe(port) == 1; })) << read_text_file(config + "/maillog");

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
