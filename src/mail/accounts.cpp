#include "mail/accounts.h"

#include <ostream>
#include <utility>

#include "diag/debug_log.h"
#include "mail/host_values.h"
#include "platform/text.h"

using mail_detail::current_mailer;
using mail_detail::for_each_item;
using mail_detail::log_missing_mailer;
using mail_detail::unknown_variant;

std::string incoming_path;

namespace {

std::unique_ptr<all_accounts> g_accounts;

// The host message behind a record; only records made by make_email have one.
const VARIANT& host_message(a_email& email) {
    auto* record = dynamic_cast<c_email*>(&email);
    if (!record) throw com_error(E_INVALIDARG);
    return record->message();
}

std::string folder_name(IMailerHost& mailer, IUnknown* folder) {
    bstr_holder name;
    mailer.get_folder_name(unknown_variant(folder), name.put());  // a failure reads as ""
    return narrow_from_bstr(name.get());
}

}  // namespace

// ---- email_folder

email_folder::email_folder(std::string path, IUnknown* folder) : path_(std::move(path)), folder_(folder) {}

int email_folder::get_number() {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("get_number");
        return 0;
    }
    LONG number = 0;
    mailer->get_folder_number(unknown_variant(folder_.get()), &number);
    return number;
}

std::string email_folder::get_path() { return path_; }

std::string email_folder::move_email_here(a_email& email) {
    const VARIANT& message = host_message(email);
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("move_email_here");
        return "";
    }
    mailer->move_message(message, unknown_variant(folder_.get()));
    return "";
}

std::string email_folder::move_email_to_incoming(a_email& email) {
    const VARIANT& message = host_message(email);
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("move_email_to_incoming");
        return "";
    }
    mailer->move_to_incoming(message);
    return "";
}

HRESULT email_folder::switch_folder_action(int value, bool on) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("switch_folder_action");
        return E_FAIL;
    }
    return on ? mailer->folder_action_on(folder_.get(), value) : mailer->folder_action_off(folder_.get(), value);
}

void email_folder::find_emails_from(const std::string& address, com_ptr<IEnumVARIANT>& messages) {
    if (address.empty()) return;
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("find_emails_from");
        messages.reset();
        return;
    }
    bstr_holder text(bstr_from_narrow(address));
    mailer->find_messages_from(folder_.get(), text.get(), messages.put());
}

HRESULT email_folder::run_folder_action(int a, int b) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("run_folder_action");
        return E_FAIL;
    }
    return mailer->folder_action(folder_.get(), a, b);
}

void email_folder::delete_last_mail(int days, std::string& sender, double& age_seconds) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("delete_last_mail");
        return;
    }
    // Starts null: the host overwrites an [out] BSTR without freeing what was there.
    bstr_holder found;
    mailer->delete_old_message(folder_.get(), days, found.put(), &age_seconds);
    if (found.length() > 0) sender = narrow_from_bstr(found.get());
}

// ---- email_account

email_account::email_account(std::string name) : name_(std::move(name)) {
    debug_log() << "1. email_account::email_account " << name_ << std::endl;
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) return;
    debug_log() << "2. email_account::email_account " << name_ << std::endl;
    try {
        // Every account sees the same root: the host is not told which account is meant.
        com_ptr<IUnknown> root;
        mailer->get_root_folder(root.put());
        if (root) iterate_folder(*mailer.get(), unknown_variant(root.get()), "");
    } catch (const std::exception&) {
        debug_log() << "Error CATCH email_account::email_account " << std::endl;
    }
}

email_account::email_account(const email_account& other) : a_email_account(other), name_(other.name_) {
    folders_.reserve(other.folders_.size());
    for (const auto& folder : other.folders_)
        folders_.push_back(folder ? std::make_unique<email_folder>(*folder) : nullptr);
}

email_account& email_account::operator=(const email_account& other) {
    if (this != &other) *this = email_account(other);
    return *this;
}

email_account::email_account(email_account&& other) noexcept
    : name_(std::move(other.name_)),
      folders_(std::move(other.folders_)),
      incoming_(std::exchange(other.incoming_, nullptr)) {}

email_account& email_account::operator=(email_account&& other) noexcept {
    name_ = std::move(other.name_);
    folders_ = std::move(other.folders_);
    incoming_ = std::exchange(other.incoming_, nullptr);
    return *this;
}

void email_account::iterate_folder(IMailerHost& mailer, const VARIANT& folder, const std::string& path) {
    debug_log() << "1. iterate_folder for : '" << path << "'" << std::endl;
    com_ptr<IEnumVARIANT> subfolders;
    mailer.enum_subfolders(folder, subfolders.put());
    // Only the incoming folder's branch is wanted: below the root, a folder whose path lacks
    // the incoming path is not looked into.
    if (!subfolders || !(path.empty() || path_contains_incoming(path))) return;
    for_each_item(*subfolders.get(), [&](const VARIANT& item) {
        if (item.vt != VT_UNKNOWN || !item.punkVal) return;
        std::string child = path + "/" + folder_name(mailer, item.punkVal);
        debug_log() << "2. Folder : '" << child << "'" << std::endl << std::endl;
        if (!path_contains_incoming(child)) return;
        folders_.push_back(std::make_unique<email_folder>(child, item.punkVal));
        iterate_folder(mailer, item, child);
    });
}

int email_account::get_folder_count() { return static_cast<int>(folders_.size()); }

std::string email_account::get_name() { return name_; }

a_email_folder* email_account::find_incoming_folder() {
    if (!incoming_) incoming_ = static_cast<email_folder*>(find_folder(std::string(incoming_path)));
    return incoming_;
}

a_email_folder* email_account::find_folder(const std::string& path) {
    for (const auto& folder : folders_)
        if (folder && folder->get_path() == path) return folder.get();
    return nullptr;
}

a_email_folder* email_account::get_folder(int index) {
    if (index < 0 || index >= get_folder_count()) return nullptr;
    return folders_[static_cast<size_t>(index)].get();
}

a_email_folder* email_account::create_folder(const std::string& name) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("create_folder");
        return nullptr;
    }
    com_ptr<IUnknown> incoming;
    mailer->get_incoming_folder(incoming.put());
    if (!incoming) return nullptr;
    bstr_holder asked(bstr_from_narrow(name));
    variant_holder created;
    if (FAILED(mailer->create_subfolder(unknown_variant(incoming.get()), asked.get(), created.put()))) return nullptr;
    // A host that claims success without handing over a folder has made nothing we can use.
    if ((created->vt != VT_UNKNOWN && created->vt != VT_DISPATCH) || !created->punkVal) return nullptr;
    IUnknown* folder = created->punkVal;
    // The host may store another name than the one asked: the path uses the names it reports.
    std::string new_name = folder_name(*mailer.get(), folder);
    // Built piece by piece: GCC 12 misreports "/" + std::string at -O2 (-Wrestrict).
    std::string path = "/";
    path += folder_name(*mailer.get(), incoming.get());
    path += "/";
    path += new_name;
    folders_.push_back(std::make_unique<email_folder>(std::move(path), folder));
    return folders_.back().get();
}

std::string email_account::send_email(const std::string& to, const std::string&, const std::string&,
                                      const std::string& subject, const std::string& body) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("send_email");
        return "";
    }
    bstr_holder to_text(bstr_from_narrow(to));
    bstr_holder subject_text(bstr_from_narrow(subject));
    bstr_holder body_text(bstr_from_narrow(body));
    com_ptr<IDispatch> message;
    mailer->create_message(to_text.get(), nullptr, nullptr, subject_text.get(), body_text.get(), 0, -1, message.put());
    if (!message) return "";  // nothing was made, so there is nothing to send
    VARIANT outgoing;
    VariantInit(&outgoing);
    outgoing.vt = VT_DISPATCH;
    outgoing.pdispVal = message.get();
    mailer->send_message(outgoing);
    return "";
}

void email_account::get_contacts(std::vector<std::string>& contacts) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) return;
    try {
        com_ptr<IEnumVARIANT> items;
        mailer->enum_contacts(items.put());
        if (!items) return;
        for_each_item(*items.get(), [&](const VARIANT& item) {
            if (item.vt == VT_BSTR) contacts.push_back(narrow_from_bstr(item.bstrVal));
        });
    } catch (const std::exception&) {
        // Contacts are a convenience: what was read before the failure is kept.
    }
}

// ---- all_accounts

all_accounts::all_accounts() {
    try {
        com_ptr<IMailerHost> mailer = current_mailer();
        if (!mailer) {
            debug_log() << "all_accounts::all_accounts() mailer == 0" << std::endl;
            return;
        }
        com_ptr<IUnknown> incoming;
        mailer->get_incoming_folder(incoming.put());
        if (!incoming) {
            debug_log() << "all_accounts::all_accounts(), incoming folder == 0" << std::endl;
            return;
        }
        std::string path = "/";
        path += folder_name(*mailer.get(), incoming.get());
        debug_log() << "all_accounts::all_accounts(), incoming folder name: " << path << std::endl;
        incoming_path = path;

        com_ptr<IEnumVARIANT> names;
        mailer->enum_accounts(names.put());
        if (!names) return;
        // The system works with one account: only the first item is read.
        variant_holder first;
        ULONG fetched = 0;
        if (names->Next(1, first.put(), &fetched) != S_OK || first->vt != VT_BSTR) return;
        email_account account(narrow_from_bstr(first->bstrVal));
        accounts_.push_back(std::move(account));
        debug_log() << "\n\nAll_accounts::All_accounts() Account : " << accounts_.back().get_name() << std::endl;
    } catch (const std::exception&) {
        // A module inside another program must not write to that program's output.
        debug_log() << "tttt" << std::endl;
    }
}

int all_accounts::get_account_count() { return static_cast<int>(accounts_.size()); }

a_email_account* all_accounts::get_account(int index) {
    if (index < 0 || index >= get_account_count()) return nullptr;
    return &accounts_[static_cast<size_t>(index)];
}

// ---- the collection

a_all_accounts* get_all_accounts() {
    if (!g_accounts) {
        auto built = std::make_unique<all_accounts>();
        // A host that re-entered us during the build may have stored a collection already.
        if (!g_accounts) g_accounts = std::move(built);
    }
    return g_accounts.get();
}

void reset_all_accounts() {
    // Detached first, so that a host re-entering us while folders are released finds none.
    std::unique_ptr<all_accounts> gone = std::move(g_accounts);
}

bool path_contains_incoming(const std::string& path) {
    return !incoming_path.empty() && path.find(incoming_path) != std::string::npos;
}
