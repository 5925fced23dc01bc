// The list members of CMailerInterfaceTest.
#include "addin/addin_object.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "addin/member_guard.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "lists/address.h"
#include "mail/accounts.h"
#include "platform/text.h"

using member_guard::engine;
using member_guard::exact_narrow;
using member_guard::guarded;

namespace {

// A list member's address text; throws com_error(E_INVALIDARG), before anything changes, for one
// that exact_narrow refuses.
std::string address_text(const char* member, BSTR address) {
    std::optional<std::string> text = exact_narrow(address);
    if (text) return *text;
    debug_log() << "FAIL: " << member << ", the address holds a NUL or a character that cannot be kept" << std::endl;
    throw com_error(E_INVALIDARG);
}

// Whether `text` may be put on list `list`: a text without an address would take the sender off
// every list and put nothing on. Another list number only removes, so any text will do there.
bool may_go_on(ostrel& filter, LONG list, const std::string& text) {
    return !filter.list_by_number(list) || !extract_email_address(text).empty();
}

// The entries one list member took off or put on the lists in memory, so that a change whose
// files could not be written can be taken back.
class list_edit {
public:
    void removed(address_set& list, const std::string& entry) { removed_.emplace_back(&list, entry); }
    void added(address_set& list, const std::string& entry) { added_.emplace_back(&list, entry); }
    void undo() {
        for (auto& [list, entry] : added_) list->erase(entry);
        for (auto& [list, entry] : removed_) list->insert(entry);
    }

private:
    std::vector<std::pair<address_set*, std::string>> removed_;
    std::vector<std::pair<address_set*, std::string>> added_;
};

// Takes `text` off all four lists, in memory. The normalised form goes too: the lists hold
// normalised entries, and a sender typed differently by the user must not stay on another
// list (an authorized sender left on the remove list would still lose its mail).
void remove_from_every_list(ostrel& filter, const std::string& text, list_edit& edit) {
    std::string normalised = extract_email_address(text);
    for (int number : {authorized_list_number, remove_list_number, ignore_list_number, pending_list_number}) {
        address_set* list = filter.list_by_number(number);
        if (!list) continue;
        for (const std::string& entry : {text, normalised}) {
            if (!entry.empty() && list->erase(entry) > 0) edit.removed(*list, entry);
        }
    }
}

// Writes the lists after a list member changed them. When a file cannot be written, the change
// is taken back and written again, so that memory and files agree; should that fail too, memory
// is read again from the files. STG_E_CANTSAVE (logged) then.
HRESULT save_list_change(ostrel& filter, list_edit& edit, const char* member) {
    if (filter.save_all_lists()) return S_OK;
    edit.undo();
    if (!filter.save_all_lists()) filter.reload_address_lists();
    debug_log() << "FAIL: " << member << ", unable to write the list files" << std::endl;
    return STG_E_CANTSAVE;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetListSize(LONG list, LONG* pSize) {
    if (!pSize) return E_POINTER;
    return guarded("GetListSize", [&] {
        if (const address_set* entries = engine().list_by_number(list)) {
            *pSize = static_cast<LONG>(
                std::min<std::size_t>(entries->size(), static_cast<std::size_t>(std::numeric_limits<LONG>::max())));
        }
        debug_log() << "GetListSize " << list << " = " << *pSize << std::endl;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::GetListItem(LONG list, LONG item, BSTR* pData) {
    if (!pData) return E_POINTER;
    *pData = nullptr;
    return guarded("GetListItem", [&] {
        *pData = bstr_from_narrow(engine().get_list_item(list, item));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::AddToList(LONG list, BSTR address) {
    return guarded("AddToList", [&] {
        std::string text = address_text("AddToList", address);
        ostrel& filter = engine();
        if (!may_go_on(filter, list, text)) {
            debug_log() << "FAIL: AddToList, the text holds no address" << std::endl;
            return E_INVALIDARG;
        }
        list_edit edit;
        remove_from_every_list(filter, text, edit);
        if (address_set* target = filter.list_by_number(list)) {
            const std::size_t size_before = target->size();
            filter.add_to_list(text, *target);
            if (target->size() != size_before) edit.added(*target, extract_email_address(text));
        }
        // The verdict acts on mail only once the list that justifies it is kept.
        if (HRESULT saved = save_list_change(filter, edit, "AddToList"); FAILED(saved)) return saved;
        if (list == authorized_list_number || list == remove_list_number) {
            // The verdict must reach the client's store even after Unload or a workflow call
            // with another mailer.
            g_mailer = g_savedMailer;
            if (list == authorized_list_number) filter.marked_as_not_spam_by_user(text);
            else filter.marked_as_spam_by_user(text);
            reset_all_accounts();
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::RemoveFromList(LONG list, BSTR address) {
    return guarded("RemoveFromList", [&] {
        std::string text = address_text("RemoveFromList", address);
        ostrel& filter = engine();
        list_edit edit;
        if (address_set* entries = filter.list_by_number(list); entries && entries->erase(text) > 0)
            edit.removed(*entries, text);
        return save_list_change(filter, edit, "RemoveFromList");
    });
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::ModifyInList(LONG list, BSTR oldAddress, BSTR newAddress) {
    // Through the interface, with every effect of both calls, the verdict included.
    auto* self = static_cast<IMailerInterfaceTest*>(this);
    // Both texts are checked first: a new address that cannot be added must not cost the old one.
    HRESULT checked = guarded("ModifyInList", [&] {
        address_text("ModifyInList", oldAddress);
        std::string text = address_text("ModifyInList", newAddress);
        if (!may_go_on(engine(), list, text)) {
            debug_log() << "FAIL: ModifyInList, the new text holds no address" << std::endl;
            return E_INVALIDARG;
        }
        return S_OK;
    });
    if (FAILED(checked)) return checked;
    // A removal that was not kept ends the change: the new address must not stand beside the old.
    HRESULT removed = self->RemoveFromList(list, oldAddress);
    if (FAILED(removed)) return removed;
    HRESULT added = self->AddToList(list, newAddress);
    return FAILED(added) ? added : S_OK;
}

HRESULT STDMETHODCALLTYPE CMailerInterfaceTest::ChallangeResponse(BSTR address) {
    return guarded("ChallangeResponse", [&] {
        engine().challange_response(narrow_from_bstr(address));
        return S_OK;
    });
}
