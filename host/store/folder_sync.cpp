#include "store/folder_sync.h"

#include <set>

#include "platform/posix_files.h"

namespace {

struct owed_flushes {
    bool deferring = false;
    bool data_for_message = false;  // a file was replaced since begin_message()
    std::set<std::string> data;
    std::set<std::string> mail;
};

owed_flushes& owed() {
    static owed_flushes state;
    return state;
}

// A folder that cannot be flushed is not a failure: what was renamed in it is there for every
// reader (see replace_file_atomically).
void flush(std::set<std::string>& folders) {
    for (const std::string& folder : folders) posix_files::sync_directory(folder);
    folders.clear();
}

// The platform layer's folder-sync hook: nonzero when `folder` was noted, zero when the caller
// must flush it itself (no pass is open).
int defer_folder_sync(const char* folder) {
    if (!owed().deferring) return 0;
    owed().data.insert(folder);
    owed().data_for_message = true;
    return 1;
}

}  // namespace

namespace folder_sync {

void begin() {
    posix_files::set_folder_sync_hook(&defer_folder_sync);
    owed().deferring = true;
}

bool deferring() { return owed().deferring; }

void note_mail_folder(const std::string& directory) {
    if (owed().deferring) owed().mail.insert(directory);
}

void flush_data_folders() {
    flush(owed().data);
    owed().data_for_message = false;
}

void flush_mail_folders() { flush(owed().mail); }

void begin_message() { owed().data_for_message = false; }

void flush_data_folders_written_for_message() {
    if (owed().data_for_message) flush_data_folders();
}

void end() {
    flush_mail_folders();
    flush_data_folders();
    owed().deferring = false;
}

}  // namespace folder_sync
