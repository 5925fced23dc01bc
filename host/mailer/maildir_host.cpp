// The IMailerHost adapter: each call of the add-in checks its arguments, finds this host's
// folder or message object behind them and hands the work to it (maildir_folder.h,
// maildir_message.h).
#include "mailer/maildir_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <utility>

#include "common/mime.h"
#include "contract/sender_address.h"
#include "mailer/maildir_folder.h"
#include "mailer/maildir_message.h"
#include "mailer/maildir_store.h"
#include "platform/text.h"
#include "policy/reply.h"
#include "store/maildir.h"

using namespace host_detail;

com_ptr<maildir_host> maildir_host::create(maildir_host_options options) {
    return com_ptr<maildir_host>::attach(new maildir_host(std::move(options)));
}

maildir_host::maildir_host(maildir_host_options options)
    : com_object(&live_objects), store_(std::make_shared<maildir_store>()) {
    store_->options = std::move(options);
    if (!store_->options.budget_file.empty()) {
        store_->budget = std::make_unique<challenge_budget>(store_->options.budget_file,
                                                            store_->options.challenge_limit, std::time(nullptr));
        if (!store_->budget->problem().empty()) store_->activity.notes.push_back(store_->budget->problem());
    }
    if (!store_->options.challenge_record_file.empty())
        store_->under_way = std::make_unique<challenge_record>(store_->options.challenge_record_file);
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
        auto items = std::make_shared<variant_list>();
        for (const std::string& contact : store_->options.contacts) items->add_text(contact);
        *contacts = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT maildir_host::enum_accounts(IEnumVARIANT** accounts) {
    if (!accounts) return E_POINTER;
    *accounts = nullptr;
    return guarded([&] {
        auto items = std::make_shared<variant_list>();
        items->add_text(store_->options.root);
        *accounts = enumerator_over(std::move(items));
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
        HRESULT hr = m->move_into(trash_folder);
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
        HRESULT hr = m->move_into(f->name());
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
        auto items = std::make_shared<variant_list>();
        for (com_ptr<folder_object>& child : f->children()) items->add_object(child.detach());
        *subfolders = enumerator_over(std::move(items));
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
        auto items = std::make_shared<variant_list>();
        for (com_ptr<message_object>& m : f->messages_from(narrow_from_bstr(address))) items->add_object(m.detach());
        *messages = enumerator_over(std::move(items));
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
        return m->put_seen(unread == VARIANT_FALSE);
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
        bstr_holder to(bstr_from_narrow(m->receiver(*headers)));
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
        std::optional<double> arrival = m->arrival_time();
        if (!arrival) return E_MESSAGE_GONE;
        *time = *arrival;
        return S_OK;
    });
}

HRESULT maildir_host::create_subfolder(VARIANT parent, BSTR name, VARIANT* folder) {
    if (!folder) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> p = folder_from(parent, store_);
        if (!p || p->is_root()) return E_INVALIDARG;
        com_ptr<folder_object> made;
        if (HRESULT hr = p->make_child(narrow_from_bstr(name), made); FAILED(hr)) return hr;
        VariantClear(folder);
        folder->vt = VT_UNKNOWN;
        folder->punkVal = made.detach();
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
        return m->reply(narrow_from_bstr(subject), narrow_from_bstr(body));
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
        std::optional<std::string> text = m->take_body();
        if (!text) return E_MESSAGE_GONE;
        *body = bstr_from_narrow(*text);
        return S_OK;
    });
}

HRESULT maildir_host::move_to_incoming(VARIANT message) {
    return guarded([&] {
        com_ptr<message_object> m = message_from(message, store_);
        if (!m) return E_INVALIDARG;
        if (m->folder().empty()) return m->locate() ? S_OK : E_MESSAGE_GONE;
        HRESULT hr = m->move_into("");
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
        *number = static_cast<LONG>(f->message_count());
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
        auto items = std::make_shared<variant_list>();
        for (const std::string& name : content->attachment_names) items->add_text(name);
        *names = enumerator_over(std::move(items));
        return S_OK;
    });
}

HRESULT maildir_host::delete_old_message(IUnknown* folder, LONG days, BSTR* sender, double* age_seconds) {
    if (!sender || !age_seconds) return E_POINTER;
    return guarded([&] {
        com_ptr<folder_object> f = folder_from(folder, store_);
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

// ---- for the program that drives the add-in

std::vector<std::string> maildir_host::new_messages() const {
    std::vector<maildir::message_file> files = maildir::list_messages(store_->options.root, "new");
    std::sort(files.begin(), files.end(), maildir::arrived_before);
    std::vector<std::string> names;
    for (maildir::message_file& file : files) names.push_back(std::move(file.name));
    return names;
}

namespace {

// Files up to this size are kept in memory once read; larger ones are read from the file.
constexpr off_t kept_size_limit = 8 << 20;

// Reads the regular file `path` whole: 0 with its status in `st` (and its bytes in `bytes` when
// small enough), ENOENT when it is gone, ENOTSUP when it is no regular file (a link, a folder,
// a pipe), else the errno of the failure.
int read_message_file(const std::string& path, struct stat& st, std::optional<std::string>& bytes) {
    // Never follows a link, never waits on a pipe.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT) return ENOENT;
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? ENOENT : error;
        return S_ISREG(st.st_mode) ? error : ENOTSUP;
    }
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ENOTSUP;
    std::string content;
    bool keep = error == 0 && st.st_size <= kept_size_limit;
    if (keep) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    while (error == 0) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        if (keep) content.append(buffer, static_cast<size_t>(n));
        // The size it had when opened is read: a file still growing is read to its end.
        if (keep && content.size() == static_cast<size_t>(st.st_size) && st.st_size > 0) break;
    }
    ::close(fd);
    if (error == 0 && keep) bytes = std::move(content);
    return error;
}

}  // namespace

com_ptr<IUnknown> maildir_host::open_new_message(const std::string& name, int* read_error) {
    if (read_error) *read_error = 0;
    struct stat st {};
    std::string path = store_->options.root + "/new/" + name;
    std::optional<std::string> bytes;
    if (int error = read_message_file(path, st, bytes); error != 0) {
        // Vanished meanwhile is gone, not unreadable; what is no regular file is no message.
        if (error != ENOENT && error != ENOTSUP && read_error) *read_error = error;
        return {};
    }
    return com_ptr<IUnknown>::attach(new message_object(store_, "", {"new", name, st.st_mtim}, true, std::move(bytes)));
}

bool maildir_host::has_usable_sender(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    const header_summary* headers = m ? m->headers() : nullptr;
    return headers && !extract_email_address(headers->sender).empty();
}

const header_summary* maildir_host::headers_of(IUnknown* message) {
    com_ptr<message_object> m = message_from(message, store_);
    return m ? m->headers() : nullptr;
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
    if (!m || !m->folder().empty()) return true;
    if (m->file().subdir != "new" && !m->state_waits()) return true;
    // The rename goes ahead from where the file was last seen; a file gone meanwhile has nothing
    // left to mark.
    HRESULT hr = m->move_to("", "cur", seen_name);
    return SUCCEEDED(hr) || hr == E_MESSAGE_GONE;
}

const host_activity& maildir_host::activity() const { return store_->activity; }

std::vector<host_activity::folder_move> maildir_host::take_moves() { return std::exchange(store_->activity.moves, {}); }

std::optional<std::string> maildir_host::take_challenge(const std::string& unique) {
    auto found = store_->activity.challenges.find(unique);
    if (found == store_->activity.challenges.end()) return std::nullopt;
    std::string challenge = std::move(found->second);
    store_->activity.challenges.erase(found);
    return challenge;
}

bool maildir_host::save_budget() {
    std::string error;
    if (!store_->budget || store_->budget->save(error)) return true;
    ++store_->activity.budget_not_saved;
    store_->activity.notes.push_back(error);
    return false;
}

std::string maildir_host::budget_problem() const { return store_->budget ? store_->budget->problem() : ""; }

std::vector<challenge_intent> maildir_host::challenges_left_under_way() {
    std::vector<challenge_intent> sent;
    challenge_record* record = store_->under_way.get();
    if (!record || !record->readable()) return sent;
    std::string outbox = outbox_directory();
    std::vector<std::string> not_sent;
    for (challenge_intent entry : record->entries()) {
        if (!entry.sent && !entry.challenge.empty()) {
            // A challenge counts as sent once it is in the Outbox, where the user's mail client or
            // a sending program takes it from; its half-written file is removed with the others.
            std::optional<maildir::message_file> stored = maildir::find_by_unique(outbox, entry.challenge);
            entry.sent = stored.has_value();
        } else if (!entry.sent) {
            // Handed to the command when the run ended: whether the command took it cannot be
            // known, and a challenge too many is what this record is there to prevent.
            entry.sent = true;
            store_->activity.notes.push_back(
                "a challenge to " + one_line(entry.address) +
                " was being handed to the sending command when a run ended; taken as sent");
        }
        if (!entry.sent) {
            not_sent.push_back(entry.message);
            continue;
        }
        store_->activity.challenges[entry.message] = "sent:" + entry.address;
        sent.push_back(std::move(entry));
    }
    forget_challenges(not_sent);
    return sent;
}

void maildir_host::forget_challenges(const std::vector<std::string>& messages) {
    std::string error;
    if (store_->under_way && !store_->under_way->forget(messages, error)) note_upkeep_failure(error);
}

void maildir_host::settle_challenges(bool lists_saved) {
    std::vector<std::string> begun = std::exchange(store_->challenges_begun, {});
    if (!store_->under_way || begun.empty()) return;
    std::string error;
    if (!(lists_saved ? store_->under_way->forget(begun, error) : store_->under_way->mark_sent(begun, error)))
        note_upkeep_failure(error);
}

void maildir_host::remove_leftovers() {
    std::vector<std::string> folders = {""};
    for (const std::string& folder : store_->all_folders()) folders.push_back(folder);
    for (const std::string& folder : folders) {
        std::vector<std::string> not_removed;
        maildir::remove_own_temporaries(store_->directory(folder), not_removed);
        for (const std::string& failure : not_removed)
            note_upkeep_failure("cannot remove the half-written file " + failure);
    }
}

std::string maildir_host::challenge_record_problem() const {
    return store_->under_way ? store_->under_way->problem() : "";
}

void maildir_host::note_upkeep_failure(std::string note) {
    ++store_->activity.upkeep_failed;
    store_->activity.notes.push_back(std::move(note));
}

const std::string& maildir_host::root() const { return store_->options.root; }
const std::string& maildir_host::delivered_file() const { return store_->options.delivered_file; }

std::string maildir_host::outbox_directory() const { return store_->directory(outbox_folder); }

long maildir_live_objects() { return live_objects.live(); }
