// Starting the real `tarnwick` from a test: in a folder of its own, with HOME there, never the
// user's data folder or a module chosen by the environment.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct outcome {
    int code = -1;  // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
    long peak_kilobytes = 0;  // the most memory the program held at once (its resident set)
};

// A started `tarnwick`, its output going to files in the folder it was started for.
struct running_program {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;

    outcome wait();
};

// Starts the program with `args` in `folder` (its HOME; the output files are kept there), with
// `input` on its standard input. `environment_extra` adds "NAME=VALUE" entries to its
// environment; with LD_PRELOAD among them, the sanitizers are told to accept a library loaded
// before their runtime.
running_program start(const std::string& folder, const std::vector<std::string>& args, const std::string& input = "",
                      const std::vector<std::string>& environment_extra = {});

// start, then wait.
// One line of a TARNWICK_FAULT_TRACE file: "N STEP PATH".
struct traced_step {
    long number = 0;
    std::string step;  // "rename", "sync_folder", ...
    std::string path;
};
std::vector<traced_step> read_trace(const std::string& path);

// The lines of a program's output, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

// Waits up to ten seconds for `condition`, for what a running program does in its own time.
bool eventually(const std::function<bool()>& condition);

outcome run(const std::string& folder, const std::vector<std::string>& args, const std::string& input = "",
            const std::vector<std::string>& environment_extra = {});
