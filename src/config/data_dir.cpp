#include "config/data_dir.h"

#include <utility>
#include <vector>

#include "contract/addin_data.h"
#include "platform/file_io.h"
#include "platform/fs.h"

namespace {
struct data_dir_state {
    data_dir_found found;                        // path empty until computed, then fixed for the process
    std::optional<std::string> chosen_app_data;  // by the host
    std::optional<std::string> app_data_for_tests;
    std::optional<std::string> module_dir_for_tests;
};

data_dir_state& state() {
    static data_dir_state s;
    return s;
}

std::optional<std::string> app_data_folder() {
    auto& s = state();
    std::optional<std::string> folder = s.app_data_for_tests ? s.app_data_for_tests
                                        : s.chosen_app_data  ? s.chosen_app_data
                                                             : user_app_data_folder();
    if (folder && folder->empty()) return std::nullopt;
    return folder;
}

void seed_from(const std::string& module_dir, const std::string& data_dir) {
    // Without a known module folder the names would resolve against the working directory.
    if (module_dir.empty()) return;
    // The seed files lie beside the module, or, for a module installed apart from its shared data,
    // in the folder the build names relative to the module's (empty where there is none).
    std::vector<std::string> folders = {module_dir};
    if (*TARNWICK_SEED_DIR != '\0') folders.push_back(append_path_component(module_dir, TARNWICK_SEED_DIR));
    for (const char* name : seed_file_names) {
        for (const std::string& folder : folders) {
            if (copy_file_if_absent(append_path_component(folder, name), append_path_component(data_dir, name))) break;
        }
    }
}
}  // namespace

data_dir_found find_data_dir() {
    auto& s = state();
    if (!s.found.path.empty()) return s.found;

    data_dir_found found;
    std::optional<std::string> app_data = app_data_folder();
    if (!app_data) {
        found.path = "./";
        found.fell_back = true;
    } else {
        std::string dir = append_path_component(*app_data, data_folder_name);
        create_private_directory(dir);
        seed_from(s.module_dir_for_tests ? *s.module_dir_for_tests : module_folder(), dir);
        // A process that ended while replacing a file left its temporary behind; nothing else
        // would ever remove it. (Not in the working-directory fallback: that folder is not ours.)
        found.removed_temporaries = remove_leftover_temporaries(dir);
        found.path = dir + "/";
    }
    s.found = std::move(found);
    return s.found;
}

bool choose_app_data_folder(const std::string& folder) {
    auto& s = state();
    if (!s.found.path.empty()) return false;
    s.chosen_app_data = folder;
    return true;
}

std::string get_data_dir() {
    auto& s = state();
    return s.found.path.empty() ? find_data_dir().path : s.found.path;
}

std::string get_data_file_path(const std::string& name) { return get_data_dir() + name; }

void reset_data_dir_for_tests(std::optional<std::string> app_data, std::optional<std::string> module_dir) {
    auto& s = state();
    s.found = data_dir_found();
    s.app_data_for_tests = std::move(app_data);
    s.module_dir_for_tests = std::move(module_dir);
}
