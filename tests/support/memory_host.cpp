#include "support/memory_host.h"

#include <algorithm>

#include "platform/com_object.h"
#include "support/memory_host_store.h"

using namespace memory_host_parts;

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
