// The folder flushes a pass of the filter owes. A rename lasts through a crash only once its
// folder is flushed (fsync of the directory); flushing after each of thousands of renames would
// cost most of a run. While a pass is open, the folders of the data files replaced (the lists,
// whose new content is itself flushed before the rename) and the mail folders that messages
// were renamed into or out of are noted instead, and flushed once, where order matters:
//
// - the data folder before a message moves to Trash when files were replaced for that message
//   (the lists and the release file that an answer to a challenge writes must last before the
//   answer leaves the inbox), and before the pending folder's index is saved (the verdicts it
//   forgets must be in the lists);
// - the mail folders before the index is saved (it must not name messages whose move to the
//   pending folder a crash could undo);
// - everything at the end of the pass, before the run reports what it did.
//
// A crash before a flush undoes only renames whose loss costs nothing: a message back in new/ is
// filtered again, a list without its newest change at worst challenges a sender again. What must
// last at once is flushed at once by its writer (a challenge stored in the Outbox, a delivery).
// Releases (a message moved from another folder into the inbox) are flushed at once too: the
// release file may forget a sender only once his mail has moved.
#pragma once

#include <string>

namespace folder_sync {

// Starts deferring; a pass calls it once, before its first write. The flushes of replaced files'
// folders reach this through the platform layer's folder-sync hook, which the add-in's loader
// hands on to the module (platform/posix_files.h).
void begin();
// True between begin() and end().
bool deferring();
// The mail folder (a new/ or cur/ directory) that a message was renamed into or out of.
void note_mail_folder(const std::string& directory);
// Flushes the noted folders of replaced files now.
void flush_data_folders();
// A new message is in hand: what is replaced from now on is written for it.
void begin_message();
// Flushes the noted folders of replaced files when a file was replaced since begin_message()
// (or since the pass began, before the first message).
void flush_data_folders_written_for_message();
// Flushes the noted mail folders now.
void flush_mail_folders();
// Flushes everything noted and stops deferring.
void end();

}  // namespace folder_sync
