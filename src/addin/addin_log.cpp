#include "addin/addin_log.h"

#include <mutex>
#include <ostream>

#include "config/data_dir.h"
#include "contract/addin_data.h"
#include "diag/debug_log.h"

void open_addin_log() {
    static std::mutex mutex;
    static bool opened = false;
    try {
        std::lock_guard<std::mutex> lock(mutex);
        if (opened) return;
        // Should finding the directory throw, the next call tries again.
        data_dir_found found = find_data_dir();
        open_debug_log(found.path + debug_log_file_name);
        opened = true;
        std::ostream& log = debug_log();
        if (found.fell_back)
            log << "FAIL: get_data_dir - unable to find the application data folder, using the working directory"
                << std::endl;
        for (const std::string& name : found.removed_temporaries)
            log << "get_data_dir - removed the left-over temporary file " << name << std::endl;
    } catch (...) {
    }
}
