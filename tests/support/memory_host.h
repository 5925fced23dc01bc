// An in-memory mail client for tests: a real IMailerHost over a small mail store (a folder tree,
// messages, contacts, accounts) that records every change made through it, can be told to fail
// or to call back into the test, and counts every reference it hands out.
//
// Lifetime: the test owns the memory_host object (usually on the stack). COM references on the
// host itself do not keep it alive; they are counted like every other reference. When it is
// destroyed it empties g_mailer and g_savedMailer if they hold it, then fails the running test
// if any reference it handed out is still alive.
//
// How the host answers, where a real one could differ: every folder or message handed out is a
// new object (compare ids, not pointers); an operation on a deleted message returns E_FAIL;
// get_folder_number answers the number of messages in the folder; create_subfolder refuses with
// E_FAIL a name that a sibling already has; delete_old_message answers S_FALSE, an empty sender
// and age 0 when no message is old enough; get_message_headers fills its fourth value too.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mailer_host.h"
#include "platform/com.h"

// One value of a list the host enumerates (contacts, accounts, attachment names): a text, or
// for tests another kind of VARIANT.
struct host_item {
    // Texts convert implicitly, so that a list reads {"a@example.com", host_item::number(1)}.
    host_item(std::string content) : text(std::move(content)) {}
    host_item(const char* content) : text(content) {}
    static host_item null_text();         // VT_BSTR holding a null pointer
    static host_item number(LONG value);  // VT_I4
    static host_item empty();             // VT_EMPTY

    VARTYPE type = VT_BSTR;
    std::string text;
    bool null = false;
    LONG integer = 0;
};

// Where the host reports a misuse by the code under test (a wrong argument, a reference released
// once too often, references left at its end). Test programs route it to the test framework;
// by default it prints the message and aborts.
std::function<void(const std::string&)>& memory_host_failure_sink();

class memory_host final : public IMailerHost {
public:
    using folder_id = int;
    using message_id = int;

    // What a new message holds. Times are seconds on the host's clock (set_now).
    struct message_spec {
        std::string sender{};
        std::string receiver{};
        std::string subject{};
        std::string body{};
        bool unread = true;
        std::vector<host_item> attachments{};
        double received = 0;
    };

    // A failure to inject. By default the operation does nothing (its out values stay exactly as
    // the caller set them) and returns `result`. With `perform` the operation is carried out and
    // `result` returned in place of its own. `times` counts the calls it applies to (negative: all).
    struct fault {
        HRESULT result = E_FAIL;
        bool perform = false;
        int times = -1;
    };

    struct reply_record {
        message_id message;
        std::string subject;
        std::string body;
    };
    struct created_record {
        int id;
        std::string to;
        bool cc_null;
        bool bcc_null;
        std::string subject;
        std::string body;
        LONG flags;
        LONG options;
        bool sent;
    };
    struct move_record {
        message_id message;
        folder_id from;
        folder_id to;
    };
    struct mark_record {
        message_id message;
        bool unread;
    };
    struct folder_action_record {
        std::string operation;  // "folder_action_on", "folder_action_off" or "folder_action"
        folder_id folder;
        LONG a;
        LONG b;  // 0 for the on/off actions
    };

    // A store with an unnamed root and the incoming folder `incoming_name` below it, one account
    // named "Test account", no contacts, and the clock at 1 000 000 000 seconds.
    explicit memory_host(std::string incoming_name = "Inbox");
    ~memory_host();
    memory_host(const memory_host&) = delete;
    memory_host& operator=(const memory_host&) = delete;

    // ---- building the store
    folder_id root() const;      // the unnamed top of the store, never a folder of an account
    folder_id incoming() const;  // what get_incoming_folder answers
    // Makes the incoming folder another folder (for hosts that keep it deeper down).
    void set_incoming(folder_id folder);
    // The folder at `path` ("/" before each name, from the top), made with any missing folder
    // on the way; existing folders are reused.
    folder_id add_folder(const std::string& path);
    // A new folder `name` as the last child of `parent`, even when a sibling has that name.
    folder_id add_folder(folder_id parent, const std::string& name);
    // A new message in `folder`.
    message_id add_message(folder_id folder, message_spec message);
    void set_body(message_id message, std::string body);
    void set_contacts(std::vector<host_item> contacts);
    void set_accounts(std::vector<host_item> accounts);
    void set_now(double seconds);
    // create_subfolder refuses every request with `result` from now on.
    void refuse_subfolders(HRESULT result = E_ACCESSDENIED);
    // create_subfolder stores every new folder under `name` instead of the name asked.
    void store_subfolders_as(std::string name);
    // Strict (the default): a folder or message argument that is not a live object of this host
    // of the right kind fails the test. Otherwise the call quietly returns E_INVALIDARG.
    void set_strict(bool strict);
    // Drops `message` from the store and empties the records of what was done, so that a long
    // run (a benchmark) costs the same at its millionth message as at its first.
    void forget(message_id message);

    // ---- objects to hand to the code under test (each a new counted reference)
    com_ptr<IMailerHost> mailer();
    com_ptr<IUnknown> folder_object(folder_id folder);
    com_ptr<IUnknown> message_object(message_id message);
    // A VT_UNKNOWN VARIANT viewing `object` without a reference of its own.
    static VARIANT unknown_view(IUnknown* object);

    // ---- inspecting the store
    std::optional<folder_id> find_folder(const std::string& path) const;  // by path from the top
    std::string folder_name(folder_id folder) const;
    std::string folder_path(folder_id folder) const;
    std::vector<folder_id> subfolders(folder_id folder) const;
    std::vector<message_id> messages_in(folder_id folder) const;   // in the order they were added
    std::optional<folder_id> folder_of(message_id message) const;  // nullopt once deleted
    bool is_unread(message_id message) const;
    bool is_deleted(message_id message) const;

    // ---- what was done through the host, in order
    const std::vector<std::string>& calls() const;  // operation names, as in IMailerHost
    int call_count(std::string_view operation) const;
    const std::vector<message_id>& deleted() const;
    const std::vector<move_record>& moves() const;
    const std::vector<mark_record>& marks() const;
    const std::vector<reply_record>& replies() const;
    const std::vector<created_record>& created() const;
    std::vector<created_record> sent() const;  // in the order they were sent
    const std::vector<folder_action_record>& folder_actions() const;

    // ---- faults and callbacks; `operation` is a method name of IMailerHost or its slot number
    void inject(std::string_view operation, fault failure);
    void inject(int slot, fault failure);
    // Runs `callback` at the start of the operation, before anything else it does, for the
    // next `times` calls (negative: all). The callback may call back into the code under test.
    // An escaping_failure thrown by the callback leaves the operation, as an exception thrown
    // inside a host written in C++ would; any other exception fails the test.
    void on_call(std::string_view operation, std::function<void()> callback, int times = -1);
    struct escaping_failure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    void clear_faults();  // faults and callbacks

    // ---- reference accounting
    // The counted references alive on everything this host handed out (folders, messages,
    // enumerators, created messages) plus those on the host itself. The test's ownership of
    // this object is not a reference: a fresh host reports 0.
    long outstanding_references() const;
    // One line per object still referenced, for failure messages.
    std::string describe_outstanding() const;

    // ---- IUnknown and IDispatch
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excepinfo, UINT* arg_error) override;

    struct store;  // shared with the objects handed out, which may outlive the host

private:
    // IMailerHost, reached by the code under test through the interface.
#define TARNWICK_MEMORY_HOST_M(number, name, params) HRESULT STDMETHODCALLTYPE name params override;
#define TARNWICK_MEMORY_HOST_R(number) HRESULT STDMETHODCALLTYPE reserved_##number() override;
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_MEMORY_HOST_M, TARNWICK_MEMORY_HOST_R)
#undef TARNWICK_MEMORY_HOST_M
#undef TARNWICK_MEMORY_HOST_R

    // Records the call, runs its callback and fault, and otherwise `operation`.
    HRESULT run(int slot, const std::function<HRESULT()>& operation);
    HRESULT message_time(int slot, const char* name, VARIANT message, double* time);
    HRESULT reserved(int slot);

    std::shared_ptr<store> store_;
    long references_ = 0;
};
