// What a host's loader hands the shared-object module after opening it, and what it asks of it
// after a call: entries of the module beyond the four of COM, which no Windows client knows of.
// The COM interfaces stay as they are; these only carry what a process-wide setting (an
// environment variable, a symbol found by name) would otherwise have to carry.
#pragma once

extern "C" {

// What the host hands the module before it asks for the class object.
struct tarnwick_host_links {
    // The application-data folder the add-in keeps its data folder in; null for the platform's
    // own (XDG_DATA_HOME, else ~/.local/share).
    const char* app_data_folder;
    // Takes over the flush of the folder of a file the add-in replaced: nonzero when taken. Null:
    // the module flushes each folder itself.
    int (*defer_folder_sync)(const char* folder);
    // Builds with the environment's fault plan: the host's count of file steps, so that the plan
    // counts the whole process. Null: the module counts its own.
    int (*file_fault_count)(int step, const char* path);
    // Asked by each new-message call whether to expire pending mail now: nonzero when so. A host
    // whose processes live a moment decides when, since the pace of a mail client that stays up
    // (at most once a minute, never in the first) would never come. Null: that pace.
    int (*expiry_due)();
};

// The entry named link_host_entry: takes over `links` (copying what it needs). Nonzero when the
// data folder was found already, so a folder given comes too late to be used.
using tarnwick_link_host_fn = int (*)(const tarnwick_host_links* links);

// The entry named take_unwritten_files_entry: calls `each` once with the path of every file the
// add-in could not write since the last call (the files its debug log names in "FAIL:" lines),
// in the order they first failed, then forgets them.
using tarnwick_take_unwritten_files_fn = void (*)(void (*each)(void* context, const char* path), void* context);
}

inline constexpr const char* link_host_entry = "tarnwick_link_host";
inline constexpr const char* take_unwritten_files_entry = "tarnwick_take_unwritten_files";
