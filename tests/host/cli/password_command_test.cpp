// The password command: its first line is the password, and every way it can fail says so without
// the password.
#include "cli/password_command.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

using namespace std::chrono_literals;

TEST(password_command, takes_the_first_line_and_fails_without_telling_the_password) {
    struct row {
        std::string command;
        std::string password;  // "" when it fails
        std::string error;     // a part of the error
    } rows[] = {
        {"echo 's3cret pass'", "s3cret pass", ""},
        {"printf 'first\\r\\nsecond\\n'", "first", ""},
        {"printf 'no line end'", "no line end", ""},
        // What the failing commands print, "hunter2", is not in their text: the error must not show it.
        {"printf 'hunter%s\\n' 2 >&2", "", "\"printf 'hunter%s\\n' 2 >&2\" printed no password"},
        {"printf '\\nhunter%s\\n' 2", "", "printed no password on its first line"},
        {"printf 'hunter%s\\n' 2; exit 3", "", "failed (exit status 3)"},
        {"printf 'hunter%s\\n' 2; kill -9 $$", "", "ended by signal 9"},
        {"/nonexistent/pass show mail", "", "failed (exit status 127)"},
        // A process left behind that holds the output open does not hold up the password.
        {"sleep 5 & echo left", "left", ""},
    };
    for (const row& r : rows) {
        std::string error;
        auto started = std::chrono::steady_clock::now();
        std::optional<std::string> password = run_password_command(r.command, error, 5s);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << r.command;
        EXPECT_EQ(password.value_or(""), r.password) << r.command;
        if (r.password.empty()) {
            EXPECT_NE(error.find(r.error), std::string::npos) << r.command << ": " << error;
            EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
        }
    }
}

TEST(password_command, a_command_that_hangs_is_ended_with_what_it_started) {
    temp_dir folder;
    const std::string pid_file = folder.file("pid");
    std::string error;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(run_password_command("sleep 60 & echo $! >" + pid_file + "; wait", error, 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_NE(error.find("did not finish within 300 ms"), std::string::npos) << error;
    pid_t left = std::stoi(read_text_file(pid_file));
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = ::kill(left, 0) != 0 ||
               read_text_file("/proc/" + std::to_string(left) + "/stat").find(") Z") != std::string::npos;
        if (!gone) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone) << "the command's sleep " << left << " still runs";
}
