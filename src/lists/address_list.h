// The address lists (authorized, ignore, pending, remove), the bounce subject patterns and the
// already-read store are plain ordered sets of 8-bit strings, held by value by their owner.
// These functions test, edit, load and save one set; they keep no state of their own.
#pragma once

#include <string>
#include <string_view>

// Ordered as std::string orders, by unsigned bytes, shorter prefix first: the order of the list
// files and of enumeration.
#include "lists/address_set.h"

// True when `text` normalises to an address (extract_email_address) that is an entry of `list`.
bool is_in_list(const address_set& list, std::string_view text);

// True when `text` normalises to an address on `authorized`, or to one whose domain entry
// (".@" followed by its domain) is on it. Subdomains do not count.
bool is_authorized(const address_set& authorized, std::string_view text);

// Inserts the normalised form of `text` unless `text` itself is already an entry. When `text`
// holds no valid address, logs a warning and leaves `list` unchanged.
void add_to_list(std::string_view text, address_set& list);

// Erases the entry equal to `text` byte for byte; false when there was none.
bool remove_from_list(address_set& list, std::string_view text);

// Adds every word of the file at `path` to `list`, unchanged, and logs the start and the end.
// A missing or unreadable file adds nothing; one whose reading fails partway, the words before.
void load_list(const std::string& path, address_set& list);

// Adds every non-empty line of the file at `path` to `list`, unchanged (blanks kept, the CR of a
// CR LF line end dropped), and logs the start and the end. A missing file adds nothing.
void load_list_full_line(const std::string& path, address_set& list);

// Replaces the file at `path` atomically by the list file form of `list`. False when it could
// not be written; then the old file is left as it was.
bool save_list(const std::string& path, const address_set& list);

// The parsing and formatting behind the three file functions, for callers that hold the bytes.
// Both parsers accept any bytes (NUL included) and add to `list` without emptying it.
void parse_list_words(std::string_view content, address_set& list);
void parse_list_lines(std::string_view content, address_set& list);
// The bytes save_list writes: CR LF CR, then each entry followed by CR LF CR.
std::string format_list_file(const address_set& list);
