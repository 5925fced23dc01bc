// What a host may know of the add-in's data: the numbers of its address lists in the automation
// interface, and the names of its data folder and of its debug log.
#pragma once

// The list numbers of GetListSize, GetListItem, AddToList, RemoveFromList and ModifyInList.
enum list_number : int {
    authorized_list_number = 0,
    remove_list_number = 1,
    ignore_list_number = 2,
    pending_list_number = 3
};

// The folder of the add-in's files, in the user's application-data folder (the platform layer's
// user_app_data_folder).
inline constexpr const char* data_folder_name = "OstrelAntiSpam";
// The debug log, in the data folder. Lines of failed writes read "FAIL: ... unable to write FILE".
inline constexpr const char* debug_log_file_name = "dlog.log";
