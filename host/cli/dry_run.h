// `tarnwick run --dry-run`: the real run on a private scratch copy of the Maildir and the data
// folder, so that what it does can be told while the real ones stay exactly as they were.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/mail_store.h"

// A scratch copy in a fresh folder of $TMPDIR (else /tmp), removed with the object. Message
// files are hard links where the file system allows it (the run only renames them, never writes
// into them), other files are copies that keep their modification time; symbolic links and
// special files are left out. Move-only.
class scratch_copy {
public:
    // Copies the Maildir `maildir` and the data folder `data_directory` (which may not exist
    // yet). None when the copy cannot be made, with what failed in `error`; nothing is left behind.
    static std::optional<scratch_copy> make(const std::string& maildir, const std::string& data_directory,
                                            std::string& error);
    // The same for the data folder `data_directory` alone, its debug log left out.
    static std::optional<scratch_copy> of_data_folder(const std::string& data_directory, std::string& error);
    scratch_copy(scratch_copy&& other) noexcept;
    scratch_copy& operator=(scratch_copy&& other) noexcept;
    ~scratch_copy();

    // The copy of the Maildir.
    std::string maildir() const { return base_ + "/Maildir"; }
    // The folder to use as XDG_DATA_HOME: the data folder's copy is in it, under its own name.
    std::string data_home() const { return base_ + "/data"; }

private:
    explicit scratch_copy(std::string base) : base_(std::move(base)) {}
    void remove() noexcept;
    std::string base_;  // empty once moved from
};

// What became of the message whose unique name is `unique` in the Maildir `root`: "kept in the
// inbox", "deleted (moved to Trash)", "moved to FOLDER", or "gone".
std::string fate_in(const std::string& root, std::string_view unique);

// A new message of the inbox as the add-in saw it, and what became of its challenge.
struct handled_message {
    std::string name;       // its file name in new/
    std::string sender;     // as its header gives it; "" for none
    std::string subject;    // decoded
    std::string challenge;  // "" for none, else the address it went to, or "withheld"
    message_ref message{};  // the store's handle, for a store on a server (which no copy stands for)
};

// Prints what became of each of `handled` in the copy `copy_root` (""; where its handle found it), with its sender and
// subject made safe to show, under a line saying that nothing was changed. `sending`: challenges go to a command, not
// into the Outbox.
void print_dry_run_fates(const std::string& copy_root, const std::vector<handled_message>& handled, bool sending);
