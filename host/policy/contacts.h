// The user's contacts, handed to the add-in as the host's address book: from a vCard file, a
// folder of vCard files, or a text file with one address per line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The addresses of `path`, in file order, each once (any letter case). A folder gives the
// vCards of its "*.vcf" files in name order; a file holding "BEGIN:VCARD" is read as vCards;
// any other file has one address per line, blank lines and lines starting with '#' skipped.
// None when the path cannot be read, with `error` saying why.
std::optional<std::vector<std::string>> read_contacts(const std::string& path, std::string& error);

// The EMAIL values of the vCards in `text` (versions 2.1, 3.0 and 4.0; folded lines joined).
std::vector<std::string> vcard_addresses(std::string_view text);
