// The environment's fault plan of file_io.h, in test builds only.
//
// A program and the module it loads each carry their own copy of the platform layer, yet a plan
// counts the steps of the whole process. So the program's loader hands the module's copy the
// program's count (share_file_fault_plan); until then each copy keeps its own.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform/file_io_detail.h"
#include "platform/posix_files.h"

namespace {

struct fault_plan {
    long fail_at = 0;  // the step that fails, counted from 1; 0 for none
    int error = ENOSPC;
    int trace = -1;  // the trace file, or -1
    std::atomic<long> steps{0};

    fault_plan() {
        if (const char* at = std::getenv("TARNWICK_FAULT_AT"); at && *at) {
            char* end = nullptr;
            fail_at = std::strtol(at, &end, 10);
            if (end && *end == ':') {
                std::string name = end + 1;
                if (name == "EIO") error = EIO;
                else if (name == "ENOSPC") error = ENOSPC;
                else if (long number = std::strtol(name.c_str(), nullptr, 10); number > 0)
                    error = static_cast<int>(number);
            }
        }
        if (const char* trace_path = std::getenv("TARNWICK_FAULT_TRACE"); trace_path && *trace_path)
            trace = ::open(trace_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
};

// Trivially destructible, so that files written by static destructors at exit still find it.
static_assert(std::is_trivially_destructible_v<fault_plan>);

fault_plan& plan() {
    static fault_plan the_plan;
    return the_plan;
}

int count_step(int step, const char* path) {
    fault_plan& p = plan();
    long number = ++p.steps;
    if (p.trace >= 0) {
        std::string line =
            std::to_string(number) + " " + file_step_name(static_cast<file_step>(step)) + " " + path + "\n";
        ssize_t written = ::write(p.trace, line.data(), line.size());
        (void)written;  // a trace that cannot be written changes nothing for the program
    }
    return number == p.fail_at ? p.error : 0;
}

std::atomic<posix_files::file_fault_count> shared_plan{nullptr};

}  // namespace

namespace posix_files {
file_fault_count file_fault_plan() { return &count_step; }

void share_file_fault_plan(file_fault_count shared) { shared_plan = shared; }
}  // namespace posix_files

int injected_file_fault(file_step step, const std::string& path) {
    posix_files::file_fault_count shared = shared_plan;
    return (shared ? shared : &count_step)(static_cast<int>(step), path.c_str());
}
