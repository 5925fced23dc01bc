// The per-user data directory "OstrelAntiSpam" and the only way file paths are made in it.
#pragma once

#include <optional>
#include <string>
#include <vector>

// What finding the data directory found. Nothing is logged on the way: the add-in's loader
// writes it to the debug log once the log has its file there.
struct data_dir_found {
    std::string path;  // ends in "/"
    // No application-data folder could be found, so the path is "./": data files are then looked
    // for in the working directory.
    bool fell_back = false;
    // The names of the left-over temporary files that were removed, in removal order.
    std::vector<std::string> removed_temporaries;
};

// The data directory as the first call in a process found it. That call finds the user's
// application-data folder, creates the directory, copies in the seed files that it lacks from
// the module's folder and removes the temporary files that a file replacement cut short by the
// end of a process left there; later calls give the same answer and touch no file.
data_dir_found find_data_dir();

// The application-data folder a host chose for this process, used in place of the user's own
// by the first call of find_data_dir. False, with nothing changed, when that call was made
// already.
bool choose_app_data_folder(const std::string& folder);

// find_data_dir().path.
std::string get_data_dir();

// get_data_dir() followed directly by `name`.
std::string get_data_file_path(const std::string& name);

// The seed files copied from the module folder, in copy order.
inline constexpr const char* seed_file_names[] = {"MAILERDAEMON_header.cfg", "MAILERDAEMON_subject.cfg",
                                                  "ostrel_original.cfg"};

// Test seam: forgets the computed path so that the next get_data_dir() starts again, taking
// `app_data` instead of the user's application-data folder and `module_dir` instead of the
// module's folder when they are given. An empty `app_data` stands for an application-data
// folder that cannot be found.
void reset_data_dir_for_tests(std::optional<std::string> app_data = std::nullopt,
                              std::optional<std::string> module_dir = std::nullopt);
