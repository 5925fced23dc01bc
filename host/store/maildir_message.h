// A message of the Maildir store: a file that remembers its folder and name, finds itself again
// when another client renamed it meanwhile, and leaves its folder only by a rename that never
// replaces another file. Private to the store.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/maildir.h"
#include "store/maildir_store.h"

class maildir_message final : public message_handle {
public:
    // `arrival` marks an arrival opened for filtering: its read state is kept here until its one
    // move out of new/ (see set_seen). `bytes`, when given, is the file's content, read once:
    // what is asked of the message comes from it instead of the file.
    maildir_message(std::shared_ptr<maildir_store> store, std::string folder, maildir::message_file file,
                    bool arrival = false, std::optional<std::string> bytes = std::nullopt);

    const std::string& id() const override { return unique_; }
    const std::string& folder() const override { return folder_; }
    const std::string& name() const override { return file_.name; }
    std::string place() const override { return file_.subdir + "/" + file_.name; }
    timespec arrival() const override { return file_.mtime; }
    bool locate() override;
    bool seen() const override;
    store_result set_seen(bool seen) override;
    store_result move_to(const std::string& folder) override;
    bool move_failed() const override { return move_failed_; }
    bool leave_arrivals() override;
    const header_summary* headers() override;
    std::shared_ptr<const header_summary> headers_read() const override { return headers_; }
    std::optional<std::uint64_t> size() override;
    std::optional<message_content> read_content() override;
    bool starts_with_header_field() override;

private:
    std::string path() const;
    // Renames the file into `folder`/`subdir` under the name `name_for` gives for the current
    // name (with the waiting read state applied), never over another file. A move into another
    // folder that meets a file of the same name takes a fresh unique name. Renames at once from
    // where the file was last seen, and looks for it only when that name is gone.
    store_result rename_to(const std::string& folder, const char* subdir,
                           const std::function<std::string(const std::string&)>& name_for);
    store_result move_into(const std::string& folder);
    // `name` with the waiting read state applied to its flags; unchanged when none waits.
    std::string with_wanted_state(const std::string& name) const;

    std::shared_ptr<maildir_store> store_;
    std::string folder_;
    maildir::message_file file_;
    std::string unique_;
    bool move_failed_ = false;
    bool arrival_ = false;
    std::optional<bool> wanted_seen_;   // the read state the next move gives the file
    std::optional<std::string> bytes_;  // the file's content, when read whole at the start
    std::shared_ptr<const header_summary> headers_;
};
