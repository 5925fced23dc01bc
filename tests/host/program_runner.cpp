#include "program_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

outcome running_program::wait() {
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    outcome result;
    result.peak_kilobytes = usage.ru_maxrss;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_text_file(out_path);
    result.err = read_text_file(err_path);
    return result;
}

running_program start(const std::string& folder, const std::vector<std::string>& args, const std::string& input,
                      const std::vector<std::string>& environment_extra) {
    static int counter = 0;
    std::string stem = folder + "/call" + std::to_string(++counter);
    running_program program{-1, stem + ".out", stem + ".err"};
    write_text_file(stem + ".in", input);
    // The program never sees the user's own data folder or settings file, a module chosen by the
    // environment, or a fault plan meant for the test program itself.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (text.rfind("HOME=", 0) == 0 || text.rfind("XDG_DATA_HOME=", 0) == 0 ||
            text.rfind("XDG_CONFIG_HOME=", 0) == 0 || text.rfind("TARNWICK_MODULE=", 0) == 0 ||
            text.rfind("TARNWICK_FAULT_", 0) == 0)
            continue;
        environment.push_back(text);
    }
    environment.push_back("HOME=" + folder);
    for (const std::string& entry : environment_extra) {
        // A preloaded library comes before the sanitizers' runtime, which would refuse to start.
        if (entry.rfind("LD_PRELOAD=", 0) == 0) {
            const char* options = std::getenv("ASAN_OPTIONS");
            std::erase_if(environment, [](const std::string& text) { return text.rfind("ASAN_OPTIONS=", 0) == 0; });
            environment.push_back(std::string("ASAN_OPTIONS=") + (options ? std::string(options) + ":" : "") +
                                  "verify_asan_link_order=0");
        }
        environment.push_back(entry);
    }
    std::vector<char*> envp, argv;
    for (std::string& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program_path = TARNWICK_PROGRAM;
    std::vector<std::string> arguments = args;
    argv.push_back(program_path.data());
    for (std::string& arg : arguments) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (stem + ".in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, program.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, program.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int failure = posix_spawn(&program.pid, program_path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) throw std::runtime_error("cannot start " + program_path);
    return program;
}

outcome run(const std::string& folder, const std::vector<std::string>& args, const std::string& input,
            const std::vector<std::string>& environment_extra) {
    return start(folder, args, input, environment_extra).wait();
}

std::vector<traced_step> read_trace(const std::string& path) {
    std::vector<traced_step> steps;
    for (const std::string& line : lines_of(read_text_file(path))) {
        std::istringstream fields(line);
        traced_step step;
        fields >> step.number >> step.step;
        std::getline(fields >> std::ws, step.path);
        steps.push_back(step);
    }
    return steps;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 200; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}
