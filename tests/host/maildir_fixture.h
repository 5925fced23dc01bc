// Maildir trees for the host's tests, made in a fresh temporary folder and removed afterwards.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "support/temp_dir.h"

// A message from header lines ("From: a@b.c") and a body, with LF line ends.
std::string mail_text(std::initializer_list<std::string> headers, const std::string& body = "Hello.\n");

class maildir_tree {
public:
    // An empty Maildir (tmp/, new/, cur/) at base()/Maildir, the settings file of a program
    // started with base() as its home saying that the user is me@home.example (own-address), and
    // start_filter_record for base()/data.
    maildir_tree();

    const std::string& root() const { return root_; }
    const std::string& base() const { return dir_.path(); }
    // The directory of a Maildir++ folder ("" the inbox).
    std::string folder_dir(const std::string& folder) const;

    // Makes the folder with tmp/, new/ and cur/.
    void make_folder(const std::string& folder) const;
    // Writes `text` as `folder`/`subdir`/`name` with the arrival time `arrival` (seconds since
    // 1970); returns the file's path.
    std::string add(const std::string& folder, const std::string& subdir, const std::string& name,
                    const std::string& text, long arrival = 1704067200) const;
    // File names in `folder`/`subdir`, sorted.
    std::vector<std::string> files_in(const std::string& folder, const std::string& subdir) const;
    // Every file below the root as a relative path, sorted, with its content: a snapshot. The
    // program's lock file is left out.
    std::vector<std::string> snapshot() const;

private:
    temp_dir dir_;
    std::string root_;
};

// Makes the data folder of `data_home` that of a filter which has run over an empty inbox.
void start_filter_record(const std::string& data_home);

// Sets the modification time of `path` to `seconds` since 1970.
void set_arrival(const std::string& path, long seconds);

// The unique part of a Maildir file name: all before the ":" of its flags.
std::string unique_of(const std::string& name);
