// The IMailerHost adapter: each call of the add-in checks its arguments, finds this mailer's
// folder or message object behind them and hands the work to it (mailer_folder.h,
// mailer_message.h).
#include "mailer/store_mailer.h"

#include <ctime>
#include <memory>
#include <utility>

#include "common/mime.h"
#include "mailer/mailer_folder.h"
#include "mailer/mailer_message.h"
#include "mailer/mailer_state.h"

using namespace mailer_detail;

com_ptr<store_mailer> store_mailer::create(std::shared_ptr<mail_store> store, store_mailer_options options) {
    return com_ptr<store_mailer>::attach(new store_mailer(std::move(store), std::move(options)));
}

store_mailer::store_mailer(std::shared_ptr<mail_store> store, store_mailer_options options)
    : com_object(&live_objects), state_(std::make_shared<mailer_state>()) {
    state_->store = std::move(store);
    state_->options = std::move(options);
    if (!state_->options.budget_file.empty()) {
        state_->budget = std::make_unique<challenge_budget>(state_->options.budget_file,
                                                            state_->options.challenge_limit, std::time(nullptr));
        if (!state_->budget->problem().empty()) state_->activity.notes.push_back(state_->budget->problem());
    }
    if (!state_->options.challenge_record_file.empty())
        state_->under_way = std::make_unique<challenge_record>(state_->options.challenge_record_file);
}

HRESULT store_mailer::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT store_mailer::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT store_mailer::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT store_mailer::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) { return E_NOTIMPL; }

#define TARNWICK_STORE_MAILER_RESERVED(number) \
    HRESULT store_mailer::reserved_##number() { return E_NOTIMPL; }
#define TARNWICK_STORE_MAILER_IGNORE(number, name, params)
TARNWICK_MAILER_HOST_SLOTS(TARNWICK_STORE_MAILER_IGNORE, TARNWICK_STORE_MAILER_RESERVED)
#undef TARNWICK_STORE_MAILER_RESERVED
#undef TARNWICK_STORE_MAILER_IGNORE

HRESULT store_mailer::enum_contacts(IEnumVARIANT** contacts) {
    if (!contacts) return E_POINTER;
    *contacts = nullptr;
    return guarded([&] {
        auto items = std::make_shared<variant_list>();
        for (const std::string& contact : state_->options.contacts) items->add_text(contact);
        *contacts = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT store_mailer::enum_accounts(IEnumVARIANT** accounts) {
    if (!accounts) return E_POINTER;
    *accounts = nullptr;
    return guarded([&] {
        auto items = std::make_shared<variant_list>();
        items->add_text(state_->store->account());
        *accounts = enumerator_over(std::move(items));
        return S_OK;
    });
}

// Folder actions mean nothing here.
HRESULT store_mailer::folder_action_on(IUnknown*, LONG) { return E_NOTIMPL; }
HRESULT store_mailer::folder_action_off(IUnknown*, LONG) { return E_NOTIMPL; }
HRESULT store_mailer::folder_action(IUnknown*, LONG, LONG) { return E_NOTIMPL; }

HRESULT store_mailer::delete_message(VARIANT message) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        // A message already in Trash stays there: nothing here destroys mail.
        if (m->message().folder() == trash_folder) return m->message().locate() ? S_FALSE : E_MESSAGE_GONE;
        HRESULT hr = m->move_into(trash_folder);
        if (SUCCEEDED(hr)) ++state_->activity.deleted;
        return hr;
    });
}

// Sending new messages is not offered: the add-in only ever replies.
HRESULT store_mailer::send_message(VARIANT) { return E_NOTIMPL; }

HRESULT store_mailer::create_message(BSTR, BSTR, BSTR, BSTR, BSTR, LONG, LONG, IDispatch** message) {
    if (message) *message = nullptr;
    return E_NOTIMPL;
}

HRESULT store_mailer::move_message(VARIANT message, VARIANT folder) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!m || !f || f->is_root()) return E_INVALIDARG;
        if (m->message().folder() == f->name()) return m->message().locate() ? S_OK : E_MESSAGE_GONE;
        HRESULT hr = m->move_into(f->name());
        if (SUCCEEDED(hr)) ++state_->activity.moved_into[f->name()];
        return hr;
    });
}

HRESULT store_mailer::enum_subfolders(VARIANT folder, IEnumVARIANT** subfolders) {
    if (!subfolders) return E_POINTER;
    *subfolders = nullptr;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!f) return E_INVALIDARG;
        auto items = std::make_shared<variant_list>();
        for (com_ptr<folder_object>& child : f->children()) items->add_object(child.detach());
        *subfolders = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT store_mailer::get_folder_name(VARIANT folder, BSTR* name) {
    if (!name) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!f) return E_INVALIDARG;
        *name = bstr_from_narrow(f->display_name());
        return S_OK;
    });
}

HRESULT store_mailer::find_messages_from(IUnknown* folder, BSTR address, IEnumVARIANT** messages) {
    if (!messages) return E_POINTER;
    *messages = nullptr;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!f || f->is_root()) return E_INVALIDARG;
        auto items = std::make_shared<variant_list>();
        for (com_ptr<message_object>& m : f->messages_from(narrow_from_bstr(address))) items->add_object(m.detach());
        *messages = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT store_mailer::get_unread(VARIANT message, VARIANT_BOOL* unread) {
    if (!unread) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        if (!m->message().locate()) return E_MESSAGE_GONE;
        *unread = m->message().seen() ? VARIANT_FALSE : VARIANT_TRUE;
        return S_OK;
    });
}

HRESULT store_mailer::put_unread(VARIANT message, VARIANT_BOOL unread) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        return m->put_seen(unread == VARIANT_FALSE);
    });
}

HRESULT store_mailer::get_incoming_folder(IUnknown** folder) {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return guarded([&] {
        *folder = new folder_object(state_, false, "");
        return S_OK;
    });
}

HRESULT store_mailer::get_message_headers(IUnknown* message, BSTR* sender, BSTR* receiver, BSTR* subject, BSTR* extra) {
    if (extra) *extra = nullptr;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        const header_summary* headers = m->headers();
        if (!headers) return E_MESSAGE_GONE;
        bstr_holder from(bstr_from_narrow(headers->sender));
        bstr_holder to(bstr_from_narrow(m->receiver(*headers)));
        bstr_holder about(bstr_from_narrow(headers->subject));
        if (sender) *sender = from.release();
        if (receiver) *receiver = to.release();
        if (subject) *subject = about.release();
        return S_OK;
    });
}

HRESULT store_mailer::get_message_time(VARIANT message, double* time) {
    if (!time) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        if (!m->message().locate()) return E_MESSAGE_GONE;
        timespec arrival = m->message().arrival();
        *time = static_cast<double>(arrival.tv_sec) + static_cast<double>(arrival.tv_nsec) / 1e9;
        return S_OK;
    });
}

HRESULT store_mailer::create_subfolder(VARIANT parent, BSTR name, VARIANT* folder) {
    if (!folder) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> p = folder_from(parent, state_);
        if (!p || p->is_root()) return E_INVALIDARG;
        com_ptr<folder_object> made;
        if (HRESULT hr = p->make_child(narrow_from_bstr(name), made); FAILED(hr)) return hr;
        VariantClear(folder);
        folder->vt = VT_UNKNOWN;
        folder->punkVal = made.detach();
        return S_OK;
    });
}

HRESULT store_mailer::get_message_time2(VARIANT message, double* time) {
    if (!time) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        const header_summary* headers = m->headers();
        if (!headers) return E_MESSAGE_GONE;
        std::optional<std::string> date = headers->headers.value("Date");
        std::optional<long long> seconds = date ? parse_date(*date) : std::nullopt;
        if (!seconds) return S_FALSE;
        *time = static_cast<double>(*seconds);
        return S_OK;
    });
}

HRESULT store_mailer::reply_to_message(IUnknown* message, BSTR subject, BSTR body) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        return m->reply(narrow_from_bstr(subject), narrow_from_bstr(body));
    });
}

HRESULT store_mailer::get_root_folder(IUnknown** folder) {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return guarded([&] {
        *folder = new folder_object(state_, true, "");
        return S_OK;
    });
}

HRESULT store_mailer::get_message_body(VARIANT message, BSTR* body) {
    if (!body) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        std::optional<std::string> text = m->take_body();
        if (!text) return E_MESSAGE_GONE;
        *body = bstr_from_narrow(*text);
        return S_OK;
    });
}

HRESULT store_mailer::move_to_incoming(VARIANT message) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        if (m->message().folder().empty()) return m->message().locate() ? S_OK : E_MESSAGE_GONE;
        HRESULT hr = m->move_into("");
        if (SUCCEEDED(hr)) ++state_->activity.released;
        return hr;
    });
}

HRESULT store_mailer::get_folder_number(VARIANT folder, LONG* number) {
    if (!number) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!f) return E_INVALIDARG;
        // The number of messages in the folder: the one number every store has to give.
        *number = static_cast<LONG>(f->message_count());
        return S_OK;
    });
}

HRESULT store_mailer::enum_attachment_names(VARIANT message, IEnumVARIANT** names) {
    if (!names) return E_POINTER;
    *names = nullptr;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, state_);
        if (!m) return E_INVALIDARG;
        const message_content* content = m->content();
        if (!content) return E_MESSAGE_GONE;
        auto items = std::make_shared<variant_list>();
        for (const std::string& name : content->attachment_names) items->add_text(name);
        *names = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT store_mailer::delete_old_message(IUnknown* folder, LONG days, BSTR* sender, double* age_seconds) {
    if (!sender || !age_seconds) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, state_);
        if (!f || f->is_root()) return E_INVALIDARG;
        std::string from;
        double age = 0;
        HRESULT hr = f->expire_oldest(days, from, age);
        if (hr != S_OK) return hr;
        *sender = bstr_from_narrow(from);
        *age_seconds = age;
        return S_OK;
    });
}
