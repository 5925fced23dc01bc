// A folder of the mailer as the add-in holds it: the root above the inbox, the inbox or one of
// the store's folders below it, as a COM object. Private to the mailer.
#pragma once

#include <string>
#include <vector>

#include "mailer/mailer_message.h"
#include "mailer/mailer_state.h"
#include "platform/com_object.h"

namespace mailer_detail {

// Asked of an object handed back by the add-in, this private id gives the object itself, so
// that a foreign object can never be taken for one of ours.
// {6F1C5A52-2C7E-4D8B-9A0B-3E4F51A2C001}
inline constexpr IID IID_mailer_folder = {0x6F1C5A52, 0x2C7E, 0x4D8B, {0x9A, 0x0B, 0x3E, 0x4F, 0x51, 0xA2, 0xC0, 0x01}};

class folder_object final : public com_object<implements<IUnknown, IID_mailer_folder>> {
public:
    // `is_root` marks the folder above the inbox; otherwise `name` is the store's folder name.
    folder_object(state_ptr owner, bool is_root, std::string name);

    const state_ptr& owner() const { return owner_; }
    bool is_root() const { return is_root_; }
    const std::string& name() const { return name_; }
    // The name the add-in sees: "Inbox", or the last level of the folder's name.
    std::string display_name() const;

    // The folders one level below: the inbox below the root, else the store's subfolders.
    std::vector<com_ptr<folder_object>> children() const;
    // The subfolder `level` of this folder (not the root), made when missing; an existing folder
    // is fine. E_INVALIDARG for a level with '.', '/' or control characters; a folder that cannot
    // be made is counted and noted.
    HRESULT make_child(const std::string& level, com_ptr<folder_object>& made) const;
    // The folder's messages whose sender is the address found in `text` (a bare address or a
    // whole From field), in any letter case.
    std::vector<com_ptr<message_object>> messages_from(const std::string& text) const;
    // The number of messages in the folder; 0 for the root.
    size_t message_count() const;
    // Moves the folder's oldest message to Trash when it is older than `days` days: S_OK with
    // its lower-case sender and its age in seconds, S_FALSE when none is old enough (or `days`
    // is negative, or this is Trash).
    HRESULT expire_oldest(long days, std::string& sender, double& age_seconds) const;

private:
    state_ptr owner_;
    bool is_root_;
    std::string name_;
};

// One of `owner`'s folder objects behind `object`, with a reference the caller then owns; empty
// for anything else.
inline com_ptr<folder_object> folder_from(IUnknown* object, const state_ptr& owner) {
    return own_object<folder_object>(object, IID_mailer_folder, owner);
}
inline com_ptr<folder_object> folder_from(const VARIANT& value, const state_ptr& owner) {
    return own_object<folder_object>(value, IID_mailer_folder, owner);
}

}  // namespace mailer_detail
