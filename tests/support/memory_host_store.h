// The memory host's store and what its three files share: the host itself (memory_host.cpp), its
// IMailerHost operations (memory_host_mailer.cpp) and the objects it hands out (memory_host_objects.cpp).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/memory_host.h"

namespace memory_host_parts {

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

}  // namespace memory_host_parts

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
            memory_host_parts::failure_report()
                << "memory_host::" << operation << ": an argument is not a live object of this host of the right kind";
        return std::nullopt;
    }
    std::optional<int> lookup(const VARIANT& value, kind type, const char* operation) {
        if (value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH) return lookup(value.punkVal, type, operation);
        if (strict)
            memory_host_parts::failure_report()
                << "memory_host::" << operation << ": an object argument has VARIANT type " << value.vt;
        return std::nullopt;
    }
    // A message that is not deleted, or null.
    message_entry* live_message(std::optional<int> id) {
        if (!id) return nullptr;
        message_entry& entry = message(*id);
        return entry.deleted ? nullptr : &entry;
    }
};

namespace memory_host_parts {

using store_ptr = std::shared_ptr<memory_host::store>;
using kind = memory_host::store::kind;

struct object_ref {
    kind type;
    int id;
};
// A value of an enumerator: a plain item, or a folder or message handed out as a new object.
using enum_value = std::variant<host_item, object_ref>;

// New objects with one reference, known to the store while alive.
IUnknown* new_entry(const store_ptr& owner, kind type, int id);  // a folder or a message
IEnumVARIANT* new_enumerator(const store_ptr& owner, std::vector<enum_value> values, const std::string& what);
IDispatch* new_created(const store_ptr& owner, int id, const std::string& what);  // made by create_message

// Operation names of IMailerHost and their slot numbers; an unknown one throws.
std::string name_of_slot(int slot);
int slot_of_name(std::string_view name);

}  // namespace memory_host_parts
