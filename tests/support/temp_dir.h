// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <string>

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    // The folder's path, without a trailing separator.
    const std::string& path() const { return path_; }
    // path() + "/" + name.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Test helpers for whole files.
std::string read_text_file(const std::string& path);  // "" when missing
void write_text_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
