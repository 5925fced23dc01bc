// The IMailerHost operations of the memory host.
#include <algorithm>
#include <cctype>

#include "platform/text.h"
#include "support/memory_host.h"
#include "support/memory_host_store.h"

using namespace memory_host_parts;

namespace {

std::vector<enum_value> values_of(const std::vector<host_item>& items) {
    return std::vector<enum_value>(items.begin(), items.end());
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The address of a sender such as "Ann <ann@example.com>"; the whole text when it has no "<>".
std::string address_of(const std::string& sender) {
    size_t open = sender.rfind('<');
    size_t close = sender.find('>', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos)
        return trimmed(sender.substr(open + 1, close - open - 1));
    return trimmed(sender);
}

}  // namespace

// ---- IMailerHost

HRESULT memory_host::run(int slot, const std::function<HRESULT()>& operation) {
    store_->calls.push_back(name_of_slot(slot));
    if (auto entry = store_->callbacks.find(slot); entry != store_->callbacks.end() && entry->second.times != 0) {
        if (entry->second.times > 0) --entry->second.times;
        std::function<void()> callback = entry->second.callback;  // the callback may change the table
        try {
            callback();
        } catch (const escaping_failure&) {
            throw;
        } catch (const std::exception& error) {
            failure_report() << "memory_host: the callback of " << name_of_slot(slot) << " threw: " << error.what();
        }
    }
    std::optional<fault> active;
    if (auto entry = store_->faults.find(slot); entry != store_->faults.end() && entry->second.times != 0) {
        if (entry->second.times > 0) --entry->second.times;
        active = entry->second;
    }
    if (active && !active->perform) return active->result;
    HRESULT result;
    try {
        result = operation();
    } catch (const std::invalid_argument&) {
        result = E_INVALIDARG;
    } catch (const std::exception&) {
        result = E_OUTOFMEMORY;
    }
    return active ? active->result : result;
}

HRESULT memory_host::reserved(int slot) {
    failure_report() << "memory_host: reserved slot " << slot << " was called";
    return E_NOTIMPL;
}

#define TARNWICK_MEMORY_HOST_RESERVED(number) \
    HRESULT memory_host::reserved_##number() { return reserved(number); }
#define TARNWICK_MEMORY_HOST_IGNORE(number, name, params)
TARNWICK_MAILER_HOST_SLOTS(TARNWICK_MEMORY_HOST_IGNORE, TARNWICK_MEMORY_HOST_RESERVED)
#undef TARNWICK_MEMORY_HOST_RESERVED
#undef TARNWICK_MEMORY_HOST_IGNORE

HRESULT memory_host::enum_contacts(IEnumVARIANT** contacts) {
    return run(slot_enum_contacts, [&]() -> HRESULT {
        if (!contacts) return E_POINTER;
        *contacts = new_enumerator(store_, values_of(store_->contacts), "contacts");
        return S_OK;
    });
}

HRESULT memory_host::enum_accounts(IEnumVARIANT** accounts) {
    return run(slot_enum_accounts, [&]() -> HRESULT {
        if (!accounts) return E_POINTER;
        *accounts = new_enumerator(store_, values_of(store_->accounts), "accounts");
        return S_OK;
    });
}

HRESULT memory_host::folder_action_on(IUnknown* folder, LONG value) {
    return run(slot_folder_action_on, [&]() -> HRESULT {
        auto id = store_->lookup(folder, kind::folder, "folder_action_on");
        if (!id) return E_INVALIDARG;
        store_->folder_actions.push_back({"folder_action_on", *id, value, 0});
        return S_OK;
    });
}

HRESULT memory_host::folder_action_off(IUnknown* folder, LONG value) {
    return run(slot_folder_action_off, [&]() -> HRESULT {
        auto id = store_->lookup(folder, kind::folder, "folder_action_off");
        if (!id) return E_INVALIDARG;
        store_->folder_actions.push_back({"folder_action_off", *id, value, 0});
        return S_OK;
    });
}

HRESULT memory_host::folder_action(IUnknown* folder, LONG a, LONG b) {
    return run(slot_folder_action, [&]() -> HRESULT {
        auto id = store_->lookup(folder, kind::folder, "folder_action");
        if (!id) return E_INVALIDARG;
        store_->folder_actions.push_back({"folder_action", *id, a, b});
        return S_OK;
    });
}

HRESULT memory_host::delete_message(VARIANT message) {
    return run(slot_delete_message, [&]() -> HRESULT {
        auto id = store_->lookup(message, kind::message, "delete_message");
        if (!id) return E_INVALIDARG;
        auto* entry = store_->live_message(id);
        if (!entry) return E_FAIL;
        entry->deleted = true;
        store_->deleted.push_back(*id);
        return S_OK;
    });
}

HRESULT memory_host::send_message(VARIANT message) {
    return run(slot_send_message, [&]() -> HRESULT {
        if (message.vt != VT_DISPATCH) {
            if (store_->strict) failure_report() << "memory_host::send_message: the message is not a VT_DISPATCH";
            return E_INVALIDARG;
        }
        auto id = store_->lookup(message, kind::created_message, "send_message");
        if (!id) return E_INVALIDARG;
        for (auto& record : store_->created) {
            if (record.id != *id) continue;
            if (record.sent) return E_FAIL;
            record.sent = true;
            store_->sent_order.push_back(*id);
            return S_OK;
        }
        return E_INVALIDARG;
    });
}

HRESULT memory_host::move_message(VARIANT message, VARIANT folder) {
    return run(slot_move_message, [&]() -> HRESULT {
        auto id = store_->lookup(message, kind::message, "move_message");
        auto target = store_->lookup(folder, kind::folder, "move_message");
        if (!id || !target) return E_INVALIDARG;
        auto* entry = store_->live_message(id);
        if (!entry) return E_FAIL;
        store_->moves.push_back({*id, entry->folder, *target});
        entry->folder = *target;
        return S_OK;
    });
}

HRESULT memory_host::move_to_incoming(VARIANT message) {
    return run(slot_move_to_incoming, [&]() -> HRESULT {
        auto id = store_->lookup(message, kind::message, "move_to_incoming");
        if (!id) return E_INVALIDARG;
        auto* entry = store_->live_message(id);
        if (!entry) return E_FAIL;
        store_->moves.push_back({*id, entry->folder, store_->incoming});
        entry->folder = store_->incoming;
        return S_OK;
    });
}

HRESULT memory_host::enum_subfolders(VARIANT folder, IEnumVARIANT** subfolders) {
    return run(slot_enum_subfolders, [&]() -> HRESULT {
        if (!subfolders) return E_POINTER;
        auto id = store_->lookup(folder, kind::folder, "enum_subfolders");
        if (!id) return E_INVALIDARG;
        std::vector<enum_value> values;
        for (folder_id child : store_->folder(*id).children) values.push_back(object_ref{kind::folder, child});
        *subfolders = new_enumerator(store_, std::move(values), "subfolders of '" + store_->path_of(*id) + "'");
        return S_OK;
    });
}

HRESULT memory_host::get_folder_name(VARIANT folder, BSTR* name) {
    return run(slot_get_folder_name, [&]() -> HRESULT {
        if (!name) return E_POINTER;
        auto id = store_->lookup(folder, kind::folder, "get_folder_name");
        if (!id) return E_INVALIDARG;
        *name = bstr_from_narrow(store_->folder(*id).name);
        return S_OK;
    });
}

HRESULT memory_host::find_messages_from(IUnknown* folder, BSTR address, IEnumVARIANT** messages) {
    return run(slot_find_messages_from, [&]() -> HRESULT {
        if (!messages) return E_POINTER;
        auto id = store_->lookup(folder, kind::folder, "find_messages_from");
        if (!id) return E_INVALIDARG;
        std::string wanted = lower(trimmed(narrow_from_bstr(address)));
        std::vector<enum_value> values;
        for (const auto& [message, entry] : store_->messages)
            if (!entry.deleted && entry.folder == *id && lower(address_of(entry.spec.sender)) == wanted)
                values.push_back(object_ref{kind::message, message});
        *messages = new_enumerator(store_, std::move(values), "messages from " + wanted);
        return S_OK;
    });
}

HRESULT memory_host::create_message(BSTR to, BSTR cc, BSTR bcc, BSTR subject, BSTR body, LONG flags, LONG options,
                                    IDispatch** message) {
    return run(slot_create_message, [&]() -> HRESULT {
        if (!message) return E_POINTER;
        int id = store_->next_id++;
        store_->created.push_back({id, narrow_from_bstr(to), cc == nullptr, bcc == nullptr, narrow_from_bstr(subject),
                                   narrow_from_bstr(body), flags, options, false});
        *message = new_created(store_, id, "created message to " + store_->created.back().to);
        return S_OK;
    });
}

HRESULT memory_host::get_unread(VARIANT message, VARIANT_BOOL* unread) {
    return run(slot_get_unread, [&]() -> HRESULT {
        if (!unread) return E_POINTER;
        auto* entry = store_->live_message(store_->lookup(message, kind::message, "get_unread"));
        if (!entry) return E_FAIL;
        *unread = entry->spec.unread ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

HRESULT memory_host::put_unread(VARIANT message, VARIANT_BOOL unread) {
    return run(slot_put_unread, [&]() -> HRESULT {
        auto id = store_->lookup(message, kind::message, "put_unread");
        auto* entry = store_->live_message(id);
        if (!entry) return E_FAIL;
        entry->spec.unread = unread != VARIANT_FALSE;
        store_->marks.push_back({*id, entry->spec.unread});
        return S_OK;
    });
}

HRESULT memory_host::get_incoming_folder(IUnknown** folder) {
    return run(slot_get_incoming_folder, [&]() -> HRESULT {
        if (!folder) return E_POINTER;
        *folder = new_entry(store_, kind::folder, store_->incoming);
        return S_OK;
    });
}

HRESULT memory_host::get_root_folder(IUnknown** folder) {
    return run(slot_get_root_folder, [&]() -> HRESULT {
        if (!folder) return E_POINTER;
        *folder = new_entry(store_, kind::folder, store_->root);
        return S_OK;
    });
}

HRESULT memory_host::get_message_headers(IUnknown* message, BSTR* sender, BSTR* receiver, BSTR* subject, BSTR* extra) {
    return run(slot_get_message_headers, [&]() -> HRESULT {
        if (!sender || !receiver || !subject || !extra) return E_POINTER;
        auto* entry = store_->live_message(store_->lookup(message, kind::message, "get_message_headers"));
        if (!entry) return E_FAIL;
        bstr_holder texts[] = {
            bstr_holder(bstr_from_narrow(entry->spec.sender)), bstr_holder(bstr_from_narrow(entry->spec.receiver)),
            bstr_holder(bstr_from_narrow(entry->spec.subject)), bstr_holder(bstr_from_narrow("X-Mailer: memory host"))};
        *sender = texts[0].release();
        *receiver = texts[1].release();
        *subject = texts[2].release();
        *extra = texts[3].release();
        return S_OK;
    });
}

// Both time operations answer the receive time; only the slot and the name in a failure differ.
HRESULT memory_host::message_time(int slot, const char* name, VARIANT message, double* time) {
    return run(slot, [&]() -> HRESULT {
        if (!time) return E_POINTER;
        auto* entry = store_->live_message(store_->lookup(message, kind::message, name));
        if (!entry) return E_FAIL;
        *time = entry->spec.received;
        return S_OK;
    });
}

HRESULT memory_host::get_message_time(VARIANT message, double* time) {
    return message_time(slot_get_message_time, "get_message_time", message, time);
}

HRESULT memory_host::get_message_time2(VARIANT message, double* time) {
    return message_time(slot_get_message_time2, "get_message_time2", message, time);
}

HRESULT memory_host::create_subfolder(VARIANT parent, BSTR name, VARIANT* folder) {
    return run(slot_create_subfolder, [&]() -> HRESULT {
        if (!folder) return E_POINTER;
        auto id = store_->lookup(parent, kind::folder, "create_subfolder");
        if (!id) return E_INVALIDARG;
        if (store_->refuse) return *store_->refuse;
        std::string stored = store_->store_as ? *store_->store_as : narrow_from_bstr(name);
        for (folder_id child : store_->folder(*id).children)
            if (store_->folder(child).name == stored) return E_FAIL;  // like a file system: no twins
        folder_id made = store_->new_folder(*id, stored);
        VariantInit(folder);
        folder->vt = VT_UNKNOWN;
        folder->punkVal = new_entry(store_, kind::folder, made);
        return S_OK;
    });
}

HRESULT memory_host::reply_to_message(IUnknown* message, BSTR subject, BSTR body) {
    return run(slot_reply_to_message, [&]() -> HRESULT {
        auto id = store_->lookup(message, kind::message, "reply_to_message");
        if (!store_->live_message(id)) return E_FAIL;
        store_->replies.push_back({*id, narrow_from_bstr(subject), narrow_from_bstr(body)});
        return S_OK;
    });
}

HRESULT memory_host::get_message_body(VARIANT message, BSTR* body) {
    return run(slot_get_message_body, [&]() -> HRESULT {
        if (!body) return E_POINTER;
        auto* entry = store_->live_message(store_->lookup(message, kind::message, "get_message_body"));
        if (!entry) return E_FAIL;
        *body = bstr_from_narrow(entry->spec.body);
        return S_OK;
    });
}

HRESULT memory_host::get_folder_number(VARIANT folder, LONG* number) {
    return run(slot_get_folder_number, [&]() -> HRESULT {
        if (!number) return E_POINTER;
        auto id = store_->lookup(folder, kind::folder, "get_folder_number");
        if (!id) return E_INVALIDARG;
        *number = static_cast<LONG>(messages_in(*id).size());
        return S_OK;
    });
}

HRESULT memory_host::enum_attachment_names(VARIANT message, IEnumVARIANT** names) {
    return run(slot_enum_attachment_names, [&]() -> HRESULT {
        if (!names) return E_POINTER;
        auto* entry = store_->live_message(store_->lookup(message, kind::message, "enum_attachment_names"));
        if (!entry) return E_FAIL;
        *names = new_enumerator(store_, values_of(entry->spec.attachments), "attachment names");
        return S_OK;
    });
}

HRESULT memory_host::delete_old_message(IUnknown* folder, LONG days, BSTR* sender, double* age_seconds) {
    return run(slot_delete_old_message, [&]() -> HRESULT {
        if (!sender || !age_seconds) return E_POINTER;
        auto id = store_->lookup(folder, kind::folder, "delete_old_message");
        if (!id) return E_INVALIDARG;
        // The oldest message of the folder that is older than `days`; the first added on a tie.
        store::message_entry* oldest = nullptr;
        message_id oldest_id = 0;
        for (auto& [message, entry] : store_->messages) {
            if (entry.deleted || entry.folder != *id) continue;
            if (store_->now - entry.spec.received <= days * 86400.0) continue;
            if (!oldest || entry.spec.received < oldest->spec.received) {
                oldest = &entry;
                oldest_id = message;
            }
        }
        if (!oldest) {
            *sender = bstr_from_narrow("");
            *age_seconds = 0;
            return S_FALSE;
        }
        *sender = bstr_from_narrow(oldest->spec.sender);
        *age_seconds = store_->now - oldest->spec.received;
        oldest->deleted = true;
        store_->deleted.push_back(oldest_id);
        return S_OK;
    });
}
