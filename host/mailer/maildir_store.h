// What every COM object of the Maildir host shares: the host's options, what the add-in did
// through it, the folders the host gives a meaning to, and how each call of the add-in ends.
// Private to the host.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mailer/maildir_host.h"
#include "platform/com.h"
#include "platform/com_enum.h"
#include "platform/com_object.h"
#include "policy/challenge_budget.h"
#include "policy/challenge_intent.h"
#include "store/maildir.h"

namespace host_detail {

inline constexpr const char* inbox_name = "Inbox";
inline constexpr const char* trash_folder = "Trash";
inline constexpr const char* outbox_folder = "Outbox";

// One host's state. Its folders and messages hold it too, since the add-in may keep one of them
// longer than the host.
struct maildir_store {
    maildir_host_options options;
    host_activity activity;
    std::unique_ptr<challenge_budget> budget;     // with options.budget_file
    std::unique_ptr<challenge_record> under_way;  // with options.challenge_record_file
    // The messages whose challenge went out since settle_challenges last ran.
    std::vector<std::string> challenges_begun;

    // Folders this host made or found whole (tmp/, new/, cur/): a move into one goes ahead
    // without making it again, and makes it only when the rename finds it gone.
    std::set<std::string> folders_made;

    // The Maildir++ folders below the root, as last listed, with what the root directory looked
    // like then: listed again only when it changed (a folder made, removed or renamed).
    struct folder_listing {
        bool valid = false;
        dev_t device = 0;
        ino_t inode = 0;
        nlink_t links = 0;
        timespec changed{};
        std::vector<std::string> folders;  // full Maildir++ names, sorted
    } listing;
    // Every Maildir++ folder below the root, sorted (maildir::subfolders of each level).
    const std::vector<std::string>& all_folders();

    // The directory of `folder` (Maildir++ name, "" the inbox).
    std::string directory(const std::string& folder) const { return maildir::folder_directory(options.root, folder); }
};
using store_ptr = std::shared_ptr<maildir_store>;

// The host's COM objects alive in the process: hosts, folders, messages, enumerators.
inline live_counter live_objects;

// A new enumerator over `values`, with the caller's one reference.
inline IEnumVARIANT* enumerator_over(std::shared_ptr<variant_list> values) {
    return new variant_enumerator(std::move(values), 0, &live_objects);
}

// The failure code the add-in gets for the errno of a file operation.
inline HRESULT hresult_from_errno(int error) {
    switch (error) {
    case 0: return S_OK;
    case ENOENT: return E_MESSAGE_GONE;
    case EACCES:
    case EPERM:
    case EROFS: return E_ACCESSDENIED;
    case ENOMEM: return E_OUTOFMEMORY;
    default: return E_FAIL;
    }
}

// Runs `body`, turning an exception into a failure code: none may cross into the add-in.
template <class F>
HRESULT guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const com_error& error) {
        return error.code();
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace host_detail
