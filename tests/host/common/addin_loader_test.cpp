// What the loader hands the module and what it learns back, through the module's own entries:
// no environment variable steers the module, no symbol is found by name, no log line is read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/addin_client.h"
#include "contract/addin_data.h"
#include "platform/posix_files.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string>& folders_handed_over() {
    static std::vector<std::string> folders;
    return folders;
}

// Takes nothing over: the module still flushes, but must have asked.
int note_folder(const char* folder) {
    folders_handed_over().emplace_back(folder);
    return 0;
}

std::unique_ptr<addin_client> load_with(const std::string& app_data) {
    std::string error;
    std::unique_ptr<addin_client> client = addin_client::load(TARNWICK_MODULE_FILE, {app_data}, error);
    EXPECT_TRUE(client) << error;
    return client;
}

TEST(addin_loader, the_module_keeps_its_data_where_the_host_says_and_flushes_through_the_host) {
    temp_dir app_data;
    folders_handed_over().clear();
    posix_files::set_folder_sync_hook(&note_folder);
    {
        std::unique_ptr<addin_client> client = load_with(app_data.path());
        ASSERT_TRUE(client);
        bstr_holder address(bstr_from_narrow("someone@example.org"));
        EXPECT_EQ(client->object().AddToList(authorized_list_number, address.get()), S_OK);
        EXPECT_TRUE(client->files_not_written().empty());
    }
    posix_files::set_folder_sync_hook(nullptr);
    const std::string data_folder = app_data.file(data_folder_name);
    EXPECT_TRUE(posix_files::is_directory(data_folder));
    EXPECT_NE(std::find(folders_handed_over().begin(), folders_handed_over().end(), data_folder),
              folders_handed_over().end());
}

TEST(addin_loader, a_write_the_module_could_not_make_is_named_without_a_debug_log) {
    temp_dir app_data;
    const std::string data_folder = app_data.file(data_folder_name);
    const std::string settings = data_folder + "/ostrel.cfg";
    // A folder in place of the settings file cannot be replaced, even by root; and with a folder
    // in place of the debug log there is no log line to read.
    for (const std::string& folder : {data_folder, settings, settings + "/in", data_folder + "/" + debug_log_file_name})
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0) << folder;

    std::shared_ptr<const unwritten_files> record;
    {
        std::unique_ptr<addin_client> client = load_with(app_data.path());
        ASSERT_TRUE(client);
        record = client->files_not_written_record();
        dispatch_arguments value;
        value.add_text("Please answer");
        EXPECT_EQ(client->put("ARSubject", value), E_FAIL);
        EXPECT_EQ(client->files_not_written(), std::vector<std::string>{settings});
    }
    // Named once, and still known once the module is gone.
    EXPECT_EQ(*record, std::vector<std::string>{settings});
}

}  // namespace
