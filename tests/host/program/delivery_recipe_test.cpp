// The delivery recipes of docs/delivery.md, as written there: procmail, maildrop and Dovecot's
// delivery agent run for real over a scratch home; the Postfix and .forward command lines through
// /bin/sh with the environment those programs set (Postfix itself: postfix_recipe_test.cpp). Each
// must put a friend's mail in the inbox, a stranger's in the pending folder with a challenge, and
// hand the mail system exit status 75 while the data folder is held.
#include "delivery_recipe.h"

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
