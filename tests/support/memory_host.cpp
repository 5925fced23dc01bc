#include "support/memory_host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>
#include <variant>

#include "platform/com_enum.h"
#include "platform/com_object.h"
#include "platform/text.h"

namespace {

// Collects one failure message and hands it to the sink when the statement ends.
class failure_report {
public:
    failure_report() = default;
    failure_report(const failure_report&) = delete;
    failure_report& operator=(const failure_report&) = delete;
    ~failure_report() { memory_host_failure_sink()(text_.str()); }
    template <typename T>
    failure_report& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    std::ostringstream text_;
};

}  // namespace

std::function<void(const std::string&)>& memory_host_failure_sink() {
    // Outside a test framework a misuse of the host must not pass unnoticed.
    static std::function<void(const std::string&)> sink = [](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        std::abort();
    };
    return sink;
}

struct memory_host::store {
    enum class kind { folder, message, enumerator, created_message };

    struct folder_entry {
        std::string name;
        folder_id parent = 0;
        std::vector<folder_id> children;
    };
    struct message_entry {
        message_spec spec;
        folder_id folder = 0;
        bool deleted = false;
    };
    struct live_object {
        kind type;
        int id;
        std::function<ULONG()> references;
        std::string what;
    };
    struct callback_entry {
        std::function<void()> callback;
        int times;
    };

    std::map<folder_id, folder_entry> folders;
    std::map<message_id, message_entry> messages;
    folder_id root = 0;
    folder_id incoming = 0;
    int next_id = 1;
    std::vector<host_item> contacts;
    std::vector<host_item> accounts{host_item("Test account")};
    double now = 1e9;
    std::optional<HRESULT> refuse;
    std::optional<std::string> store_as;
    bool strict = true;

    std::vector<std::string> calls;
    std::vector<message_id> deleted;
    std::vector<move_record> moves;
    std::vector<mark_record> marks;
    std::vector<reply_record> replies;
    std::vector<created_record> created;
    std::vector<int> sent_order;
    std::vector<folder_action_record> folder_actions;
    std::map<int, fault> faults;
    std::map<int, callback_entry> callbacks;

    std::map<const IUnknown*, live_object> live;

    folder_entry& folder(folder_id id) {
        auto found = folders.find(id);
        if (found == folders.end()) throw std::invalid_argument("no folder " + std::to_string(id));
        return found->second;
    }
    message_entry& message(message_id id) {
        auto found = messages.find(id);
        if (found == messages.end()) throw std::invalid_argument("no message " + std::to_string(id));
        return found->second;
    }
    std::string path_of(folder_id id) {
        std::string path;
        for (folder_id at = id; at != root; at = folder(at).parent) path = "/" + folder(at).name + path;
        return path;
    }
    folder_id new_folder(folder_id parent, const std::string& name) {
        folder_id id = next_id++;
        folders[id] = folder_entry{name, parent, {}};
        if (parent) folder(parent).children.push_back(id);
        return id;
    }

    // The id behind an object argument; a wrong one fails the test when strict.
    std::optional<int> lookup(const IUnknown* object, kind type, const char* operation) {
        auto found = live.find(object);
        if (found != live.end() && found->second.type == type) return found->second.id;
        if (strict)
            failure_report() << "memory_host::" << operation
                             << ": an argument is not a live object of this host of the right kind";
        return std::nullopt;
    }
    std::optional<int> lookup(const VARIANT& value, kind type, const char* operation) {
        if (value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH) return lookup(value.punkVal, type, operation);
        if (strict)
            failure_report() << "memory_host::" << operation << ": an object argument has VARIANT type " << value.vt;
        return std::nullopt;
    }
    // A message that is not deleted, or null.
    message_entry* live_message(std::optional<int> id) {
        if (!id) return nullptr;
        message_entry& entry = message(*id);
        return entry.deleted ? nullptr : &entry;
    }
};

namespace {

using store_ptr = std::shared_ptr<memory_host::store>;
using kind = memory_host::store::kind;

// Every object handed out: a kit object (`Base`) that is known to the store while alive, so that
// arguments can be checked and its references counted.
template <class Base>
class host_object : public Base {
public:
    template <class... BaseArgs>
    host_object(store_ptr owner, kind type, int id, std::string what, BaseArgs&&... base_args)
        : Base(std::forward<BaseArgs>(base_args)...), store_(std::move(owner)) {
        store_->live[static_cast<IUnknown*>(this)] = {type, id, [this] { return this->references(); }, std::move(what)};
    }
    ~host_object() override { store_->live.erase(static_cast<IUnknown*>(this)); }

protected:
    store_ptr store_;
};

// A folder or a message of the store.
class entry_object final : public host_object<com_object<implements<IUnknown>>> {
public:
    using host_object::host_object;
};

// A message made by create_message.
class created_object final : public host_object<com_object<implements<IDispatch>>> {
public:
    using host_object::host_object;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return count ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

IUnknown* new_entry(const store_ptr& owner, kind type, int id) {
    std::string what = type == kind::folder
                           ? "folder '" + owner->path_of(id) + "'"
                           : "message " + std::to_string(id) + " '" + owner->message(id).spec.subject + "'";
    return new entry_object(owner, type, id, what);
}

struct object_ref {
    kind type;
    int id;
};
using enum_value = std::variant<host_item, object_ref>;

// The values of an enumerator; an object is handed out as a new object each time.
class store_values final : public enum_items<VARIANT> {
public:
    store_values(store_ptr owner, std::vector<enum_value> values)
        : store_(std::move(owner)), values_(std::move(values)) {}

    size_t size() const override { return values_.size(); }
    HRESULT copy(size_t index, VARIANT& out) const override {
        VariantInit(&out);
        try {
            fill(values_[index], out);
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    void clear(VARIANT& item) const override { VariantClear(&item); }

private:
    void fill(const enum_value& value, VARIANT& out) const {
        if (const auto* ref = std::get_if<object_ref>(&value)) {
            out.punkVal = new_entry(store_, ref->type, ref->id);
            out.vt = VT_UNKNOWN;
            return;
        }
        const host_item& item = std::get<host_item>(value);
        if (item.type == VT_BSTR) out.bstrVal = item.null ? nullptr : bstr_from_narrow(item.text);
        else if (item.type == VT_I4) out.lVal = item.integer;
        out.vt = item.type;
    }

    store_ptr store_;
    std::vector<enum_value> values_;
};

class enumerator final : public host_object<variant_enumerator> {
public:
    enumerator(const store_ptr& owner, std::vector<enum_value> values, const std::string& what)
        : enumerator(owner, std::make_shared<store_values>(owner, std::move(values)), what, 0) {}

private:
    enumerator(const store_ptr& owner, items_ptr values, const std::string& what, size_t position)
        : host_object(owner, kind::enumerator, 0, "enumerator of " + what, std::move(values), position), what_(what) {}

    IEnumVARIANT* clone_at(size_t position) const override { return new enumerator(store_, items(), what_, position); }

    std::string what_;
};

std::vector<enum_value> values_of(const std::vector<host_item>& items) {
    return std::vector<enum_value>(items.begin(), items.end());
}

constexpr struct {
    int slot;
    const char* name;
} slot_names[] = {
#define TARNWICK_NAME_M(number, name, params) {number, #name},
#define TARNWICK_NAME_R(number) {number, "reserved_" #number},
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_NAME_M, TARNWICK_NAME_R)
#undef TARNWICK_NAME_M
#undef TARNWICK_NAME_R
};

std::string name_of_slot(int slot) {
    for (const auto& row : slot_names)
        if (row.slot == slot) return row.name;
    throw std::invalid_argument("IMailerHost has no slot " + std::to_string(slot));
}

int slot_of_name(std::string_view name) {
    for (const auto& row : slot_names)
        if (name == row.name) return row.slot;
    throw std::invalid_argument("IMailerHost has no operation " + std::string(name));
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

// ---- host_item

host_item host_item::null_text() {
    host_item item("");
    item.null = true;
    return item;
}

host_item host_item::number(LONG value) {
    host_item item("");
    item.type = VT_I4;
    item.integer = value;
    return item;
}

host_item host_item::empty() {
    host_item item("");
    item.type = VT_EMPTY;
    return item;
}

// ---- building and inspecting

memory_host::memory_host(std::string incoming_name) : store_(std::make_shared<store>()) {
    store_->root = store_->new_folder(0, "");
    store_->incoming = store_->new_folder(store_->root, incoming_name);
}

memory_host::~memory_host() {
    if (g_mailer.get() == this) g_mailer.reset();
    if (g_savedMailer.get() == this) g_savedMailer.reset();
    if (long left = outstanding_references(); left != 0)
        failure_report() << "memory_host destroyed with " << left << " live references:\n" << describe_outstanding();
}

memory_host::folder_id memory_host::root() const { return store_->root; }
memory_host::folder_id memory_host::incoming() const { return store_->incoming; }

void memory_host::set_incoming(folder_id folder) {
    store_->folder(folder);
    store_->incoming = folder;
}

memory_host::folder_id memory_host::add_folder(const std::string& path) {
    folder_id at = store_->root;
    std::stringstream parts(path);
    for (std::string name; std::getline(parts, name, '/');) {
        if (name.empty()) continue;
        const auto& children = store_->folder(at).children;
        auto found = std::find_if(children.begin(), children.end(),
                                  [&](folder_id child) { return store_->folder(child).name == name; });
        at = found != children.end() ? *found : store_->new_folder(at, name);
    }
    return at;
}

memory_host::folder_id memory_host::add_folder(folder_id parent, const std::string& name) {
    store_->folder(parent);
    return store_->new_folder(parent, name);
}

memory_host::message_id memory_host::add_message(folder_id folder, message_spec message) {
    store_->folder(folder);
    message_id id = store_->next_id++;
    store_->messages[id] = store::message_entry{std::move(message), folder, false};
    return id;
}

void memory_host::set_body(message_id message, std::string body) {
    store_->message(message).spec.body = std::move(body);
}
void memory_host::set_contacts(std::vector<host_item> contacts) { store_->contacts = std::move(contacts); }
void memory_host::set_accounts(std::vector<host_item> accounts) { store_->accounts = std::move(accounts); }
void memory_host::set_now(double seconds) { store_->now = seconds; }
void memory_host::refuse_subfolders(HRESULT result) { store_->refuse = result; }
void memory_host::store_subfolders_as(std::string name) { store_->store_as = std::move(name); }
void memory_host::set_strict(bool strict) { store_->strict = strict; }

void memory_host::forget(message_id message) {
    store_->message(message);  // throws for an unknown id, like every other use
    store_->messages.erase(message);
    store_->calls.clear();
    store_->deleted.clear();
    store_->moves.clear();
    store_->marks.clear();
    store_->replies.clear();
    std::erase_if(store_->created, [](const created_record& record) { return record.sent; });
    store_->sent_order.clear();
    store_->folder_actions.clear();
}

com_ptr<IMailerHost> memory_host::mailer() { return com_ptr<IMailerHost>(this); }

com_ptr<IUnknown> memory_host::folder_object(folder_id folder) {
    store_->folder(folder);
    return com_ptr<IUnknown>::attach(new_entry(store_, kind::folder, folder));
}

com_ptr<IUnknown> memory_host::message_object(message_id message) {
    store_->message(message);
    return com_ptr<IUnknown>::attach(new_entry(store_, kind::message, message));
}

VARIANT memory_host::unknown_view(IUnknown* object) {
    VARIANT view;
    VariantInit(&view);
    view.vt = VT_UNKNOWN;
    view.punkVal = object;
    return view;
}

std::optional<memory_host::folder_id> memory_host::find_folder(const std::string& path) const {
    folder_id at = store_->root;
    std::stringstream parts(path);
    for (std::string name; std::getline(parts, name, '/');) {
        if (name.empty()) continue;
        const auto& children = store_->folder(at).children;
        auto found = std::find_if(children.begin(), children.end(),
                                  [&](folder_id child) { return store_->folder(child).name == name; });
        if (found == children.end()) return std::nullopt;
        at = *found;
    }
    return at;
}

std::string memory_host::folder_name(folder_id folder) const { return store_->folder(folder).name; }
std::string memory_host::folder_path(folder_id folder) const { return store_->path_of(folder); }
std::vector<memory_host::folder_id> memory_host::subfolders(folder_id folder) const {
    return store_->folder(folder).children;
}

std::vector<memory_host::message_id> memory_host::messages_in(folder_id folder) const {
    std::vector<message_id> found;
    for (const auto& [id, entry] : store_->messages)
        if (!entry.deleted && entry.folder == folder) found.push_back(id);
    return found;
}

std::optional<memory_host::folder_id> memory_host::folder_of(message_id message) const {
    const auto& entry = store_->message(message);
    if (entry.deleted) return std::nullopt;
    return entry.folder;
}

bool memory_host::is_unread(message_id message) const { return store_->message(message).spec.unread; }
bool memory_host::is_deleted(message_id message) const { return store_->message(message).deleted; }

const std::vector<std::string>& memory_host::calls() const { return store_->calls; }

int memory_host::call_count(std::string_view operation) const {
    std::string name = name_of_slot(slot_of_name(operation));
    return static_cast<int>(std::count(store_->calls.begin(), store_->calls.end(), name));
}

const std::vector<memory_host::message_id>& memory_host::deleted() const { return store_->deleted; }
const std::vector<memory_host::move_record>& memory_host::moves() const { return store_->moves; }
const std::vector<memory_host::mark_record>& memory_host::marks() const { return store_->marks; }
const std::vector<memory_host::reply_record>& memory_host::replies() const { return store_->replies; }
const std::vector<memory_host::created_record>& memory_host::created() const { return store_->created; }

std::vector<memory_host::created_record> memory_host::sent() const {
    std::vector<created_record> result;
    for (int id : store_->sent_order)
        for (const auto& record : store_->created)
            if (record.id == id) result.push_back(record);
    return result;
}

const std::vector<memory_host::folder_action_record>& memory_host::folder_actions() const {
    return store_->folder_actions;
}

void memory_host::inject(std::string_view operation, fault failure) { inject(slot_of_name(operation), failure); }

void memory_host::inject(int slot, fault failure) {
    name_of_slot(slot);
    store_->faults[slot] = failure;
}

void memory_host::on_call(std::string_view operation, std::function<void()> callback, int times) {
    store_->callbacks[slot_of_name(operation)] = {std::move(callback), times};
}

void memory_host::clear_faults() {
    store_->faults.clear();
    store_->callbacks.clear();
}

long memory_host::outstanding_references() const {
    long total = references_;
    for (const auto& [object, entry] : store_->live) total += static_cast<long>(entry.references());
    return total;
}

std::string memory_host::describe_outstanding() const {
    std::string text;
    if (references_) text += "the host: " + std::to_string(references_) + "\n";
    for (const auto& [object, entry] : store_->live)
        text += entry.what + ": " + std::to_string(entry.references()) + "\n";
    return text;
}

// ---- IUnknown and IDispatch

// The host belongs to the test, not to its references: they are counted, and never delete it.
HRESULT memory_host::QueryInterface(REFIID iid, void** object) {
    return interface_table<implements<IMailerHost, IID_IMailerHost>>::query(this, iid, object);
}

ULONG memory_host::AddRef() { return static_cast<ULONG>(++references_); }

ULONG memory_host::Release() {
    if (references_ == 0) {
        failure_report() << "memory_host: Release without a reference";
        return 0;
    }
    return static_cast<ULONG>(--references_);
}

HRESULT memory_host::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT memory_host::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT memory_host::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT memory_host::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) { return E_NOTIMPL; }

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
        *contacts = new enumerator(store_, values_of(store_->contacts), "contacts");
        return S_OK;
    });
}

HRESULT memory_host::enum_accounts(IEnumVARIANT** accounts) {
    return run(slot_enum_accounts, [&]() -> HRESULT {
        if (!accounts) return E_POINTER;
        *accounts = new enumerator(store_, values_of(store_->accounts), "accounts");
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
        *subfolders = new enumerator(store_, std::move(values), "subfolders of '" + store_->path_of(*id) + "'");
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
        *messages = new enumerator(store_, std::move(values), "messages from " + wanted);
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
        *message =
            new created_object(store_, kind::created_message, id, "created message to " + store_->created.back().to);
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
        *names = new enumerator(store_, values_of(entry->spec.attachments), "attachment names");
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
