// What every COM object of the mailer shares: its options and store, what the add-in did
// through it, the folders the mailer gives a meaning to, and how each call of the add-in ends.
// Private to the mailer.
#pragma once

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "mailer/store_mailer.h"
#include "platform/com.h"
#include "platform/com_enum.h"
#include "platform/com_object.h"
#include "policy/challenge_budget.h"
#include "policy/challenge_intent.h"
#include "store/mail_store.h"

namespace mailer_detail {

inline constexpr const char* inbox_name = "Inbox";
inline constexpr const char* trash_folder = "Trash";
inline constexpr const char* outbox_folder = "Outbox";

// One mailer's state. Its folders and messages hold it too, since the add-in may keep one of them
// longer than the mailer.
struct mailer_state {
    store_mailer_options options;
    std::shared_ptr<mail_store> store;
    mailer_activity activity;
    std::unique_ptr<challenge_budget> budget;     // with options.budget_file
    std::unique_ptr<challenge_record> under_way;  // with options.challenge_record_file
    // The messages whose challenge went out since settle_challenges last ran.
    std::vector<std::string> challenges_begun;
};
using state_ptr = std::shared_ptr<mailer_state>;

// The mailer's COM objects alive in the process: mailers, folders, messages, enumerators.
inline live_counter live_objects;

// A new enumerator over `values`, with the caller's one reference.
inline IEnumVARIANT* enumerator_over(std::shared_ptr<variant_list> values) {
    return new variant_enumerator(std::move(values), 0, &live_objects);
}

// The failure code the add-in gets for the errno of an operation of the store.
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

// The failure code the add-in gets for a change to a message of the store.
inline HRESULT hresult_of(const store_result& result) {
    if (result.what == store_result::done) return S_OK;
    if (result.what == store_result::gone) return E_MESSAGE_GONE;
    if (!result.not_made.empty()) return hresult_from_errno(result.error);
    // A message that kept changing names, or whose target vanished, is a plain failure.
    return result.error == 0 || result.error == ENOENT ? E_FAIL : hresult_from_errno(result.error);
}

// One of `owner`'s objects of the kind `Object` (whose private interface is `iid`) behind
// `object`, with a reference the caller then owns; empty for anything else: another host's
// objects, or the add-in's own.
template <class Object>
com_ptr<Object> own_object(IUnknown* object, const IID& iid, const state_ptr& owner) {
    com_ptr<IUnknown> found = com_ptr<IUnknown>(object).query<IUnknown>(iid);
    if (!found) return {};
    auto own = com_ptr<Object>::attach(static_cast<Object*>(found.detach()));
    if (own->owner() != owner) return {};
    return own;
}
template <class Object>
com_ptr<Object> own_object(const VARIANT& value, const IID& iid, const state_ptr& owner) {
    if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) return {};
    return own_object<Object>(value.punkVal, iid, owner);
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

}  // namespace mailer_detail
