#include "host/maildir_host.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <utility>

#include "host/maildir.h"
#include "host/mime.h"
#include "host/outbound.h"
#include "contract/sender_address.h"
#include "host/reply.h"
#include "platform/text.h"

namespace {

// Interface ids private to this host: asked of an object handed back by the add-in, they give
// the object itself, so that a foreign object can never be taken for one of ours.
// {6F1C5A52-2C7E-4D8B-9A0B-3E4F51A2C001}
constexpr IID IID_maildir_folder = {0x6F1C5A52, 0x2C7E, 0x4D8B, {0x9A, 0x0B, 0x3E, 0x4F, 0x51, 0xA2, 0xC0, 0x01}};
// {6F1C5A52-2C7E-4D8B-9A0B-3E4F51A2C002}
constexpr IID IID_maildir_message = {0x6F1C5A52, 0x2C7E, 0x4D8B, {0x9A, 0x0B, 0x3E, 0x4F, 0x51, 0xA2, 0xC0, 0x02}};

constexpr const char* inbox_name = "Inbox";
constexpr const char* trash_folder = "Trash";
constexpr const char* outbox_folder = "Outbox";

std::atomic<long> live_objects{0};

HRESULT hresult_from_errno(int error) {
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

// Reference counting shared by every object of the host.
template <class Interface>
class counted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    counted() { ++live_objects; }
    virtual ~counted() { --live_objects; }

private:
    std::atomic<ULONG> references_{1};
};

// A VARIANT enumerator over a fixed list of values, each handed out as a copy.
class variant_enumerator final : public counted<IEnumVARIANT> {
public:
    // Takes ownership of the values.
    explicit variant_enumerator(std::vector<VARIANT> items) : items_(std::move(items)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumVARIANT)) return E_NOINTERFACE;
        *object = static_cast<IEnumVARIANT*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override {
        if (!items && count > 0) return E_POINTER;
        ULONG done = 0;
        while (done < count && position_ < items_.size()) {
            VariantInit(&items[done]);
            HRESULT hr = VariantCopy(&items[done], &items_[position_]);
            if (FAILED(hr)) {
                for (ULONG i = 0; i < done; ++i) VariantClear(&items[i]);
                if (fetched) *fetched = 0;
                return hr;
            }
            ++done;
            ++position_;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
        if (!copy) return E_POINTER;
        *copy = nullptr;
        return guarded([&] {
            std::vector<VARIANT> items;
            for (const VARIANT& item : items_) {
                VARIANT v;
                VariantInit(&v);
                HRESULT hr = VariantCopy(&v, &item);
                if (FAILED(hr)) {
                    for (VARIANT& made : items) VariantClear(&made);
                    return hr;
                }
                items.push_back(v);
            }
            auto* clone = new variant_enumerator(std::move(items));
            clone->position_ = position_;
            *copy = clone;
            return S_OK;
        });
    }

private:
    ~variant_enumerator() override {
        for (VARIANT& item : items_) VariantClear(&item);
    }

    std::vector<VARIANT> items_;
    size_t position_ = 0;
};

// Builds the values of an enumerator; clears what it holds unless handed over.
class enumerator_builder {
public:
    enumerator_builder() = default;
    enumerator_builder(const enumerator_builder&) = delete;
    enumerator_builder& operator=(const enumerator_builder&) = delete;
    ~enumerator_builder() {
        for (VARIANT& item : items_) VariantClear(&item);
    }

    void add_text(const std::string& text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = bstr_from_narrow(text);
        items_.push_back(v);
    }
    // Takes over the caller's reference on `object`.
    void add_object(IUnknown* object) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = object;
        try {
            items_.push_back(v);
        } catch (...) {
            object->Release();
            throw;
        }
    }
    IEnumVARIANT* finish() {
        auto* made = new variant_enumerator(std::move(items_));
        items_.clear();
        return made;
    }

private:
    std::vector<VARIANT> items_;
};

}  // namespace

struct maildir_host::store {
    maildir_host_options options;
    host_activity activity;

    std::string directory(const std::string& folder) const { return maildir::folder_directory(options.root, folder); }
};

namespace {

using store_ptr = std::shared_ptr<maildir_host::store>;

class folder_object final : public counted<IUnknown> {
public:
    // `is_root` marks the folder above the inbox; otherwise `name` is a Maildir++ folder name.
    folder_object(store_ptr owner, bool is_root, std::string name)
        : owner_(std::move(owner)), is_root_(is_root), name_(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_maildir_folder)) return E_NOINTERFACE;
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }

    const store_ptr& owner() const { return owner_; }
    bool is_root() const { return is_root_; }
    const std::string& name() const { return name_; }
    // The name the add-in sees: "Inbox", or the last level of the Maildir++ name.
    std::string display_name() const {
        if (is_root_) return "";
        if (name_.empty()) return inbox_name;
        return name_.substr(name_.rfind('.') + 1);
    }

private:
    store_ptr owner_;
    bool is_root_;
    std::string name_;
};

class message_object final : public counted<IUnknown> {
public:
    // `in_hand` marks the new message the program is filtering: its read state is kept here
    // until its one move out of new/ (see put_seen).
    message_object(store_ptr owner, std::string folder, maildir::message_file file, bool in_hand = false)
        : owner_(std::move(owner)), folder_(std::move(folder)), file_(std::move(file)),
          unique_(maildir::unique_part(file_.name)), in_hand_(in_hand) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_maildir_message)) return E_NOINTERFACE;
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }

    const store_ptr& owner() const { return owner_; }
    const std::string& folder() const { return folder_; }
    const maildir::message_file& file() const { return file_; }
    std::string path() const { return owner_->directory(folder_) + "/" + file_.subdir + "/" + file_.name; }

    // Finds the file: where it was last seen, or else by its unique part in new/ and cur/ of its
    // folder (a client may have renamed it to change its flags). False when it is gone.
    bool locate() {
        struct stat st {};
        if (::lstat(path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
        std::optional<maildir::message_file> found = maildir::find_by_unique(owner_->directory(folder_), unique_);
        if (!found) return false;
        file_ = std::move(*found);
        return true;
    }

    // True when the message is read: the read state waiting for the next move, or else the 'S'
    // flag of its name. Call after locate().
    bool seen() const {
        if (wanted_seen_) return *wanted_seen_;
        return maildir::flags_of(file_.name).find('S') != std::string::npos;
    }

    // True when a read state waits for the next move.
    bool state_waits() const { return wanted_seen_.has_value(); }

    // Sets the read state. Flags live in the name, and a name with flags belongs in cur/, so a
    // message in hand that is still in new/ keeps the state here instead: the move that takes
    // it out of new/ carries it. A second rename first would leave the message in the inbox's
    // cur/, never to be filtered again, should the program die between the two.
    HRESULT put_seen(bool want_seen) {
        if (!locate()) return E_MESSAGE_GONE;
        if (seen() == want_seen) return S_OK;
        std::optional<bool> before = std::exchange(wanted_seen_, want_seen);
        if (in_hand_ && file_.subdir == "new") return S_OK;
        HRESULT hr = move_to(folder_, "cur", [](const std::string& name) { return name; });
        if (FAILED(hr)) wanted_seen_ = before;
        return hr;
    }

    // Moves the file into `folder`/`subdir` under the name `name_for` gives for the current
    // name (with the read state waiting for this move), never over another file. A move into
    // another folder that meets a file of the same name takes a fresh unique name. Retries when
    // another client renames the file meanwhile.
    HRESULT move_to(const std::string& folder, const char* subdir,
                    const std::function<std::string(const std::string&)>& name_for) {
        bool fresh_name = false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!locate()) return E_MESSAGE_GONE;
            std::string name = name_for(with_wanted_state(file_.name));
            if (fresh_name) name = maildir::new_unique_name() + name.substr(maildir::unique_part(name).size());
            std::string from = path();
            std::string to = owner_->directory(folder) + "/" + subdir + "/" + name;
            if (from == to) return S_OK;
            int error = maildir::move_no_replace(from, to);
            if (error == 0) {
                folder_ = folder;
                file_.subdir = subdir;
                file_.name = name;
                unique_ = std::string(maildir::unique_part(name));
                wanted_seen_.reset();
                return S_OK;
            }
            if (error == EEXIST && folder != folder_) {
                fresh_name = true;
                continue;
            }
            struct stat st {};
            bool target_exists = ::stat((owner_->directory(folder) + "/" + subdir).c_str(), &st) == 0;
            if (error == ENOENT && target_exists) continue;  // renamed under us: look again
            last_error_ = error;
            return error == ENOENT ? E_FAIL : hresult_from_errno(error);
        }
        return E_FAIL;
    }

    // The errno of the last move the file system refused; 0 when none did.
    int last_error() const { return last_error_; }
    // True once a move of this message into another folder failed.
    bool move_failed() const { return move_failed_; }
    void note_failed_move() { move_failed_ = true; }

    // The header fields, read once.
    const header_summary* headers() {
        if (!headers_) {
            if (!locate()) return nullptr;
            std::optional<std::string> block = maildir::read_header_block(path());
            if (!block) return nullptr;
            headers_ = parse_headers(*block);
        }
        return &*headers_;
    }
    // Body and attachment names, read once.
    const message_content* content() {
        if (!content_) {
            if (!locate()) return nullptr;
            content_ = parse_content_file(path());
            if (!content_) return nullptr;
        }
        return &*content_;
    }

private:
    // `name` with the waiting read state applied to its flags; unchanged when none waits.
    std::string with_wanted_state(const std::string& name) const {
        if (!wanted_seen_) return name;
        std::string flags = maildir::flags_of(name);
        std::erase(flags, 'S');
        if (*wanted_seen_) flags += 'S';
        return maildir::with_flags(name, flags);
    }

    store_ptr owner_;
    std::string folder_;
    maildir::message_file file_;
    std::string unique_;
    int last_error_ = 0;
    bool move_failed_ = false;
    bool in_hand_ = false;
    std::optional<bool> wanted_seen_;  // the read state the next move gives the file
    std::optional<header_summary> headers_;
    std::optional<message_content> content_;
};

// One of this host's message objects behind `object`, with a reference the caller then owns.
com_ptr<message_object> message_from(IUnknown* object, const store_ptr& owner) {
    if (!object) return {};
    IUnknown* found = nullptr;
    if (FAILED(object->QueryInterface(IID_maildir_message, reinterpret_cast<void**>(&found))) || !found) return {};
    auto message = com_ptr<message_object>::attach(static_cast<message_object*>(found));
    if (message->owner() != owner) return {};
    return message;
}

com_ptr<message_object> message_from(const VARIANT& value, const store_ptr& owner) {
    if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) return {};
    return message_from(value.punkVal, owner);
}

com_ptr<folder_object> folder_from(IUnknown* object, const store_ptr& owner) {
    if (!object) return {};
    IUnknown* found = nullptr;
    if (FAILED(object->QueryInterface(IID_maildir_folder, reinterpret_cast<void**>(&found))) || !found) return {};
    auto folder = com_ptr<folder_object>::attach(static_cast<folder_object*>(found));
    if (folder->owner() != owner) return {};
    return folder;
}

com_ptr<folder_object> folder_from(const VARIANT& value, const store_ptr& owner) {
    if (value.vt != VT_UNKNOWN && value.vt != VT_DISPATCH) return {};
    return folder_from(value.punkVal, owner);
}

// The name of a message file once it is in cur/: its info made "2,FLAGS".
std::string seen_name(const std::string& name) { return maildir::with_flags(name, maildir::flags_of(name)); }

// Moves `message` into `folder`, making the folder when it is missing. A move the disk refuses
// is counted and noted, so that the run can say what it could not do; a message that vanished
// meanwhile is another client's doing, not a failure.
HRESULT move_into(message_object& message, const std::string& folder) {
    if (!message.locate()) return E_MESSAGE_GONE;
    if (message.folder() == folder) return S_OK;
    std::string name = message.file().name;
    std::string not_made;
    int error = maildir::create_folder(message.owner()->options.root, folder, &not_made);
    HRESULT hr = error != 0 ? hresult_from_errno(error) : message.move_to(folder, "cur", seen_name);
    if (FAILED(hr) && hr != E_MESSAGE_GONE) {
        std::string why = error != 0 ? "cannot make " + not_made + ": " + std::strerror(error)
                          : message.last_error() != 0 ? std::strerror(message.last_error())
                                                      : "the file kept changing names";
        message.note_failed_move();
        host_activity& activity = message.owner()->activity;
        ++activity.moves_failed;
        activity.notes.push_back("cannot move " + name + " to " + (folder.empty() ? inbox_name : folder) + ": " + why);
    }
    return hr;
}

}  // namespace

// ---- maildir_host

com_ptr<maildir_host> maildir_host::create(maildir_host_options options) {
    return com_ptr<maildir_host>::attach(new maildir_host(std::move(options)));
}

maildir_host::maildir_host(maildir_host_options options) : store_(std::make_shared<store>()) {
    store_->options = std::move(options);
    ++live_objects;
}

maildir_host::~maildir_host() { --live_objects; }

HRESULT maildir_host::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, IID_IMailerHost))
        return E_NOINTERFACE;
    *object = static_cast<IMailerHost*>(this);
    AddRef();
    return S_OK;
}

ULONG maildir_host::AddRef() { return ++references_; }

ULONG maildir_host::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT maildir_host::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT maildir_host::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT maildir_host::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT maildir_host::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) { return E_NOTIMPL; }

#define TARNWICK_MAILDIR_RESERVED(number) \
    HRESULT maildir_host::reserved_##number() { return E_NOTIMPL; }
#define TARNWICK_MAILDIR_IGNORE(number, name, params)
TARNWICK_MAILER_HOST_SLOTS(TARNWICK_MAILDIR_IGNORE, TARNWICK_MAILDIR_RESERVED)
#undef TARNWICK_MAILDIR_RESERVED
#undef TARNWICK_MAILDIR_IGNORE

HRESULT maildir_host::enum_contacts(IEnumVARIANT** contacts) {
    if (!contacts) return E_POINTER;
    *contacts = nullptr;
    return guarded([&] {
        enumerator_builder items;
        for (const std::string& contact : store_->options.contacts) items.add_text(contact);
        *contacts = items.finish();
        return S_OK;
    });
}

HRESULT maildir_host::enum_accounts(IEnumVARIANT** accounts) {
    if (!accounts) return E_POINTER;
    *accounts = nullptr;
    return guarded([&] {
        enumerator_builder items;
        items.add_text(store_->options.root);
        *accounts = items.finish();
        return S_OK;
    });
}

// Folder actions mean nothing for a Maildir.
HRESULT maildir_host::folder_action_on(IUnknown*, LONG) { return E_NOTIMPL; }
HRESULT maildir_host::folder_action_off(IUnknown*, LONG) { return E_NOTIMPL; }
HRESULT maildir_host::folder_action(IUnknown*, LONG, LONG) { return E_NOTIMPL; }

HRESULT maildir_host::delete_message(VARIANT message) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        // A message already in Trash stays there: nothing here destroys mail.
        if (m->folder() == trash_folder) return m->locate() ? S_FALSE : E_MESSAGE_GONE;
        HRESULT hr = move_into(*m.get(), trash_folder);
        if (SUCCEEDED(hr)) ++store_->activity.deleted;
        return hr;
    });
}

// Sending new messages is not offered: the add-in only ever replies.
HRESULT maildir_host::send_message(VARIANT) { return E_NOTIMPL; }

HRESULT maildir_host::create_message(BSTR, BSTR, BSTR, BSTR, BSTR, LONG, LONG, IDispatch** message) {
    if (message) *message = nullptr;
    return E_NOTIMPL;
}

HRESULT maildir_host::move_message(VARIANT message, VARIANT folder) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!m || !f || f->is_root()) return E_INVALIDARG;
        if (m->folder() == f->name()) return m->locate() ? S_OK : E_MESSAGE_GONE;
        HRESULT hr = move_into(*m.get(), f->name());
        if (SUCCEEDED(hr)) ++store_->activity.moved_into[f->name()];
        return hr;
    });
}

HRESULT maildir_host::enum_subfolders(VARIANT folder, IEnumVARIANT** subfolders) {
    if (!subfolders) return E_POINTER;
    *subfolders = nullptr;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!f) return E_INVALIDARG;
        enumerator_builder items;
        if (f->is_root()) {
            items.add_object(new folder_object(store_, false, ""));
        } else {
            for (const std::string& name : maildir::subfolders(store_->options.root, f->name()))
                items.add_object(new folder_object(store_, false, name));
        }
        *subfolders = items.finish();
        return S_OK;
    });
}

HRESULT maildir_host::get_folder_name(VARIANT folder, BSTR* name) {
    if (!name) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!f) return E_INVALIDARG;
        *name = bstr_from_narrow(f->display_name());
        return S_OK;
    });
}

HRESULT maildir_host::find_messages_from(IUnknown* folder, BSTR address, IEnumVARIANT** messages) {
    if (!messages) return E_POINTER;
    *messages = nullptr;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!f || f->is_root()) return E_INVALIDARG;
        // The text may be a bare address or a whole From field.
        std::string text = narrow_from_bstr(address);
        std::vector<mailbox> boxes = parse_mailboxes(text);
        std::string wanted = ascii_lower(boxes.empty() ? text : boxes.front().address);
        enumerator_builder items;
        std::string directory = store_->directory(f->name());
        for (maildir::message_file& file : maildir::list_all_messages(directory)) {
            if (wanted.empty()) break;
            std::optional<std::string> block = maildir::read_header_block(directory + "/" + file.subdir + "/" + file.name);
            if (!block || ascii_lower(parse_headers(*block).sender) != wanted) continue;
            items.add_object(new message_object(store_, f->name(), std::move(file)));
        }
        *messages = items.finish();
        return S_OK;
    });
}

HRESULT maildir_host::get_unread(VARIANT message, VARIANT_BOOL* unread) {
    if (!unread) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        if (!m->locate()) return E_MESSAGE_GONE;
        *unread = m->seen() ? VARIANT_FALSE : VARIANT_TRUE;
        return S_OK;
    });
}

HRESULT maildir_host::put_unread(VARIANT message, VARIANT_BOOL unread) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        std::string name = m->file().name;
        HRESULT hr = m->put_seen(unread == VARIANT_FALSE);
        if (FAILED(hr) && hr != E_MESSAGE_GONE) {
            // The add-in goes on without it; the run must say that a read state was not kept.
            host_activity& activity = store_->activity;
            ++activity.flags_failed;
            activity.notes.push_back("cannot mark " + name + (unread == VARIANT_FALSE ? " read: " : " unread: ") +
                                     (m->last_error() != 0 ? std::strerror(m->last_error()) : "the file kept changing names"));
        }
        return hr;
    });
}

HRESULT maildir_host::get_incoming_folder(IUnknown** folder) {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return guarded([&] {
        *folder = new folder_object(store_, false, "");
        return S_OK;
    });
}

HRESULT maildir_host::get_message_headers(IUnknown* message, BSTR* sender, BSTR* receiver, BSTR* subject, BSTR* extra) {
    if (extra) *extra = nullptr;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        const header_summary* headers = m->headers();
        if (!headers) return E_MESSAGE_GONE;
        bstr_holder from(bstr_from_narrow(headers->sender));
        bstr_holder to(bstr_from_narrow(headers->receiver));
        bstr_holder about(bstr_from_narrow(headers->subject));
        if (sender) *sender = from.release();
        if (receiver) *receiver = to.release();
        if (subject) *subject = about.release();
        return S_OK;
    });
}

HRESULT maildir_host::get_message_time(VARIANT message, double* time) {
    if (!time) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        struct stat st {};
        if (!m->locate() || ::stat(m->path().c_str(), &st) != 0) return E_MESSAGE_GONE;
        *time = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
        return S_OK;
    });
}

HRESULT maildir_host::create_subfolder(VARIANT parent, BSTR name, VARIANT* folder) {
    if (!folder) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> p = folder_from(parent, store_);
        if (!p || p->is_root()) return E_INVALIDARG;
        // One level at a time, and never a name that could leave the Maildir.
        std::string text = narrow_from_bstr(name);
        if (!maildir::valid_folder_name(text) || text.find('.') != std::string::npos) return E_INVALIDARG;
        std::string full = p->name().empty() ? text : p->name() + "." + text;
        std::string not_made;
        if (int error = maildir::create_folder(store_->options.root, full, &not_made); error != 0) {
            // The add-in only logs it; the run must say so.
            ++store_->activity.folders_failed;
            store_->activity.notes.push_back("cannot make the folder " + full + ": " + not_made + ": " + std::strerror(error));
            return hresult_from_errno(error);
        }
        auto* made = new folder_object(store_, false, full);
        VariantClear(folder);
        folder->vt = VT_UNKNOWN;
        folder->punkVal = made;
        return S_OK;
    });
}

HRESULT maildir_host::get_message_time2(VARIANT message, double* time) {
    if (!time) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
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

HRESULT maildir_host::reply_to_message(IUnknown* message, BSTR subject, BSTR body) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        host_activity& activity = store_->activity;
        const header_summary* headers = m->headers();
        if (!headers) {
            ++activity.replies_failed;
            activity.notes.push_back("challenge not sent: the message vanished");
            return E_MESSAGE_GONE;
        }
        std::string who = headers->sender.empty() ? "(no sender)" : one_line(headers->sender);
        if (std::optional<std::string> reason = reason_not_to_answer(*headers)) {
            ++activity.replies_withheld;
            activity.notes.push_back("challenge to " + who + " withheld: " + *reason);
            return E_ABORT;
        }
        std::string error;
        std::optional<std::string> reply =
            compose_reply(*headers, narrow_from_bstr(subject), narrow_from_bstr(body), error);
        bool sent = false;
        if (reply && !store_->options.sendmail_command.empty()) {
            sent = send_with_command(store_->options.sendmail_command, *reply, error);
        } else if (reply) {
            std::string not_made;
            int made = maildir::create_folder(store_->options.root, outbox_folder, &not_made);
            if (made != 0) error = not_made + ": " + std::strerror(made);
            else sent = maildir::deliver(outbox_directory(), *reply, error).has_value();
        }
        if (!sent) {
            ++activity.replies_failed;
            activity.notes.push_back("challenge to " + who + " failed: " + error);
            return E_FAIL;
        }
        ++activity.replies_sent;
        return S_OK;
    });
}

HRESULT maildir_host::get_root_folder(IUnknown** folder) {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return guarded([&] {
        *folder = new folder_object(store_, true, "");
        return S_OK;
    });
}

HRESULT maildir_host::get_message_body(VARIANT message, BSTR* body) {
    if (!body) return E_POINTER;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        const message_content* content = m->content();
        if (!content) return E_MESSAGE_GONE;
        *body = bstr_from_narrow(content->body);
        return S_OK;
    });
}

HRESULT maildir_host::move_to_incoming(VARIANT message) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        if (m->folder().empty()) return m->locate() ? S_OK : E_MESSAGE_GONE;
        HRESULT hr = move_into(*m.get(), "");
        if (SUCCEEDED(hr)) ++store_->activity.released;
        return hr;
    });
}

HRESULT maildir_host::get_folder_number(VARIANT folder, LONG* number) {
    if (!number) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!f) return E_INVALIDARG;
        // The number of messages in the folder: the one number a Maildir has to give.
        size_t count = f->is_root() ? 0 : maildir::list_all_messages(store_->directory(f->name())).size();
        *number = static_cast<LONG>(count);
        return S_OK;
    });
}

HRESULT maildir_host::enum_attachment_names(VARIANT message, IEnumVARIANT** names) {
    if (!names) return E_POINTER;
    *names = nullptr;
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        const message_content* content = m->content();
        if (!content) return E_MESSAGE_GONE;
        enumerator_builder items;
        for (const std::string& name : content->attachment_names) items.add_text(name);
        *names = items.finish();
        return S_OK;
    });
}

HRESULT maildir_host::delete_old_message(IUnknown* folder, LONG days, BSTR* sender, double* age_seconds) {
    if (!sender || !age_seconds) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
        if (!f || f->is_root()) return E_INVALIDARG;
        if (days < 0 || f->name() == trash_folder) return S_FALSE;
        double limit = static_cast<double>(days) * 86400.0;
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        // Oldest first: the first that is young enough ends the search. A file that vanishes
        // before it is moved lets the next one take its place.
        for (maildir::message_file& file : maildir::list_all_messages(store_->directory(f->name()))) {
            double age = static_cast<double>(now.tv_sec - file.mtime.tv_sec) +
                         static_cast<double>(now.tv_nsec - file.mtime.tv_nsec) / 1e9;
            if (age <= limit) break;
            auto m = com_ptr<message_object>::attach(new message_object(store_, f->name(), std::move(file)));
            const header_summary* headers = m->headers();
            if (!headers) continue;
            // Lower case, as the add-in keeps its address lists.
            std::string from = ascii_lower(headers->sender);
            if (FAILED(move_into(*m.get(), trash_folder))) continue;
            ++store_->activity.expired;
            *sender = bstr_from_narrow(from);
            *age_seconds = age;
            return S_OK;
        }
        return S_FALSE;
    });
}

std::vector<std::string> maildir_host::new_messages() const {
    std::vector<maildir::message_file> files = maildir::list_messages(store_->options.root, "new");
    std::sort(files.begin(), files.end(), [](const maildir::message_file& a, const maildir::message_file& b) {
        if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
        if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
        return a.name < b.name;
    });
    std::vector<std::string> names;
    for (maildir::message_file& file : files) names.push_back(std::move(file.name));
    return names;
}

com_ptr<IUnknown> maildir_host::open_new_message(const std::string& name, int* read_error) {
    if (read_error) *read_error = 0;
    struct stat st {};
    std::string path = store_->options.root + "/new/" + name;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    if (int error = maildir::read_error(path); error != 0) {
        // Vanished meanwhile is gone, not unreadable.
        if (error != ENOENT && read_error) *read_error = error;
        return {};
    }
    return com_ptr<IUnknown>::attach(new message_object(store_, "", {"new", name, st.st_mtim}, true));
}

bool maildir_host::has_usable_sender(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    const header_summary* headers = m ? m->headers() : nullptr;
    return headers && !extract_email_address(headers->sender).empty();
}

std::optional<std::string> maildir_host::folder_of(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    if (!m || !m->locate()) return std::nullopt;
    return m->folder();
}

bool maildir_host::move_failed(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    return m && m->move_failed();
}

bool maildir_host::mark_seen(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    if (!m || !m->locate() || !m->folder().empty()) return true;
    if (m->file().subdir != "new" && !m->state_waits()) return true;
    return SUCCEEDED(m->move_to("", "cur", seen_name));
}

const host_activity& maildir_host::activity() const { return store_->activity; }

const std::string& maildir_host::root() const { return store_->options.root; }

std::string maildir_host::outbox_directory() const { return store_->directory(outbox_folder); }

long maildir_live_objects() { return live_objects; }
