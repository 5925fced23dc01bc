// The add-in's settings file as a host may read it: its names, the keys a host reads, and the
// one parser of its text, which the add-in's own configuration store reads it with too. Keys and
// values are narrow text; keys are case-sensitive.
#pragma once

#include <map>
#include <string>
#include <string_view>

// In the data folder; the pristine copy ships beside the module and is copied in when missing.
inline constexpr const char* settings_file_name = "ostrel.cfg";
inline constexpr const char* pristine_settings_file_name = "ostrel_original.cfg";

// Keys a host reads without loading the add-in.
inline constexpr const char* pending_folder_key = "PENDING_FOLDER_NAME";
inline constexpr const char* auto_delete_blocked_key = "AutoDeleteBlocked";
inline constexpr const char* pending_expiry_days_key = "PendingToBlockedTimeo";

// How the file keeps a text on its one line: a line feed is stored as 0x01 (also in memory, as
// the parser gives it) and a ";" as 0x02 (only in the file; the parser turns it back).
inline constexpr char line_break_stand_in = '\x01';
inline constexpr char semicolon_stand_in = '\x02';

// Adds every "key = value ;" line of `content` to `entries` (a later line wins), without
// emptying it: lines starting with "//" and lines without "=" or ";" are skipped, key and value
// lose their surrounding blanks (C-locale isspace), and an empty or blank key or value reads as
// its closing delimiter ("=" or ";"). Accepts any bytes.
void parse_config_text(std::string_view content, std::map<std::string, std::string>& entries);

// The text a stored text setting (as the parser gives it) means: ";", the stored form of an
// empty value, is empty, and each 0x01 is a line feed. Every reader of a text setting uses it,
// so that an emptied setting reads as empty everywhere.
std::string setting_text(std::string stored);

// The entries of the settings file in `data_directory` as the add-in reads them when it loads:
// those of ostrel.cfg, or of the pristine copy when that yields none; empty when neither does.
// Reads only.
std::map<std::string, std::string> read_settings_file(const std::string& data_directory);
