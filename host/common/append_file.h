// Appending to the host's record files, which are added to and never rewritten for each line.
#pragma once

#include <string>
#include <string_view>

// A record file held open for appending, made (private to the user) when missing. A file that
// does not end with a newline (an append cut short by a crash) gets one before the first append,
// so that a broken line never swallows the next. Each step goes through the test seam of
// platform/file_io.h: create when opened, write for each append, flush.
class appending_file {
public:
    explicit appending_file(std::string path) : path_(std::move(path)) {}
    appending_file(const appending_file&) = delete;
    appending_file& operator=(const appending_file&) = delete;
    ~appending_file() { close(); }

    // 0, or the errno of the step that failed. After a failed write the file is opened afresh,
    // so that a line it cut short is ended first.
    int append(std::string_view bytes);
    // Flushes what was appended since the last flush to disk: 0, or the errno.
    int flush();
    // Lets go of the file, as before it is renamed or replaced; the next append opens it again.
    void close();
    const std::string& path() const { return path_; }

private:
    int open();

    std::string path_;
    int fd_ = -1;
    bool unflushed_ = false;
};

// Appends `bytes` to the file `path` once, as appending_file does, and flushes it when `flush`.
int append_to_file(const std::string& path, std::string_view bytes, bool flush);

// Flushes the file `path` to disk: 0, or the errno. Step: flush.
int flush_file(const std::string& path);
