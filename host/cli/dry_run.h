// `tarnwick run --dry-run`: the real run on a private scratch copy of the Maildir and the data
// folder, so that what it does can be told while the real ones stay exactly as they were.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Prints what became of each of `handled` (new messages of the inbox, each with the address its
// challenge went to, "withheld", or "" for none) in the copy `copy_root`, under a line saying
// that nothing was changed. `sending`: challenges go to a command, not into the Outbox.
void print_dry_run_fates(const std::string& copy_root, const std::vector<std::pair<std::string, std::string>>& handled,
                         bool sending);
