// Runs at once: a run holds its data folder and its Maildir, so a second one is refused, or with
// --wait waits and then finds nothing left to do.
#include "program_story.h"

namespace {

class run_lock_test : public program_story {
protected:
    // A run that holds its locks while it "sends" its one challenge, until go_file() appears.
    running_program start_held_run() {
        tree.add("", "new", "100.a.test", unknown_sender("ann@example.org", "a@x"), 100);
        std::string started = tree.base() + "/started";
        std::string slow = "cat >/dev/null; touch '" + started + "'; i=0; while [ ! -e '" + go_file() +
                           "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done";
        running_program held = start(
            tree.base(), with_data({"run", "--maildir", tree.root(), "--sendmail", sendmail_script("slow", slow)}));
        if (!eventually([&] { return file_exists(started); })) held.pid = -1;
        return held;
    }
    std::string go_file() const { return tree.base() + "/go"; }
    // Lets the held run finish once `waiting` says it waits; then `waiting` runs and finds nothing
    // left to do. The held run's outcome.
    outcome finish_held_run(running_program& held, running_program& waiting) {
        EXPECT_TRUE(eventually(
            [&] { return read_text_file(waiting.err_path).find("waiting for the other run") != std::string::npos; }));
        write_text_file(go_file(), "");
        outcome held_done = held.wait();
        outcome waited = waiting.wait();
        EXPECT_EQ(held_done.code, 0) << held_done.err;
        EXPECT_EQ(waited.code, 0) << waited.err;
        EXPECT_NE(waited.out.find("0 messages handled"), std::string::npos) << waited.out;
        return held_done;
    }
};

}  // namespace

TEST_F(run_lock_test, two_runs_at_once) {
    configure();
    running_program first = start_held_run();
    ASSERT_GT(first.pid, 0);

    outcome refused = tarnwick({"run", "--maildir", tree.root()});
    EXPECT_EQ(refused.code, 75);
    EXPECT_NE(refused.err.find("another run holds " + data() + "/OstrelAntiSpam"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pid " + std::to_string(first.pid)), std::string::npos) << refused.err;
    // What only reads works meanwhile, from a copy, and leaves the running one's debug log alone.
    std::string log = data() + "/OstrelAntiSpam/dlog.log", log_before = read_text_file(log);
    for (std::vector<std::string> command :
         {std::vector<std::string>{"config", "show"}, {"config", "get", "EnableProtection"}, {"list", "show"}}) {
        outcome read = tarnwick(command);
        EXPECT_EQ(read.code, 0) << command[0] << " " << command[1] << ": " << read.err;
        EXPECT_EQ(read.err, "") << command[0] << " " << command[1];
    }
    EXPECT_EQ(read_text_file(log).substr(0, log_before.size()), log_before);
    EXPECT_EQ(tarnwick({"config", "set", "EnableProtection", "true"}).code, 75);

    running_program waiting = start(tree.base(), with_data({"run", "--maildir", tree.root(), "--wait"}));
    outcome first_done = finish_held_run(first, waiting);
    EXPECT_NE(first_done.out.find("1 message handled"), std::string::npos);
}

TEST_F(run_lock_test, one_run_per_maildir_whatever_its_data_folder) {
    configure();
    running_program first = start_held_run();
    ASSERT_GT(first.pid, 0);

    // Another data folder: it would challenge Ann a second time.
    std::string other = tree.base() + "/other";
    outcome refused = run(tree.base(), {"run", "--maildir", tree.root(), "--data-dir", other});
    EXPECT_EQ(refused.code, 75);
    EXPECT_NE(refused.err.find("another run holds the Maildir " + tree.root()), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("pid " + std::to_string(first.pid)), std::string::npos) << refused.err;
    outcome release = run(
        tree.base(), {"list", "add", "authorized", "ann@example.org", "--maildir", tree.root(), "--data-dir", other});
    EXPECT_EQ(release.code, 75) << release.err;

    running_program waiting = start(tree.base(), {"run", "--maildir", tree.root(), "--data-dir", other, "--wait"});
    finish_held_run(first, waiting);
    EXPECT_TRUE(file_exists(tree.root() + "/.tarnwick.lock"));
}
