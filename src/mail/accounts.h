// Folders, accounts and the process-wide account collection: the engine's small, fixed picture
// of the host's mail store (one account; the incoming folder and every folder below it).
// Account and folder pointers stay valid only until the collection is reset or rebuilt.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mail/email.h"
#include "mail/mailer_host.h"
#include "platform/com.h"

// One folder of the host. Operations are in the order the engine's virtual table has always had.
// Operations that reach the host with no current mailer write "FAIL: <operation>, MAILER == NULL"
// to the debug log and do nothing else (the result each gives then is stated below).
// The email records given must be made by make_email; any other record throws
// com_error(E_INVALIDARG).
class a_email_folder {
public:
    virtual ~a_email_folder() = default;

    // The host's folder number; 0 when the host gives none or no mailer is set.
    virtual int get_number() = 0;
    // The full path, "/" before each name, from the top of the host's store.
    virtual std::string get_path() = 0;
    // Has the host move the record's message into this folder. Returns "".
    virtual std::string move_email_here(a_email& email) = 0;
    // Has the host move the record's message back into the incoming folder. Returns "".
    virtual std::string move_email_to_incoming(a_email& email) = 0;
    // The host's HRESULT of turning folder action `value` on (`on`) or off; E_FAIL without a mailer.
    virtual HRESULT switch_folder_action(int value, bool on) = 0;
    // Sets `messages` to the host's enumeration of this folder's messages from `address`; leaves
    // it untouched and asks nothing when `address` is empty; empties it without a mailer.
    // Throws com_error(E_OUTOFMEMORY) when the address cannot be converted.
    virtual void find_emails_from(const std::string& address, com_ptr<IEnumVARIANT>& messages) = 0;
    // The host's HRESULT of folder action (a, b); E_FAIL without a mailer.
    virtual HRESULT run_folder_action(int a, int b) = 0;
    // Has the host delete this folder's oldest message older than `days`; sets `sender` to that
    // message's sender (unchanged when the host gives none) and lets the host set `age_seconds`.
    virtual void delete_last_mail(int days, std::string& sender, double& age_seconds) = 0;
};

// A folder over one host folder object, on which it holds one reference.
class email_folder final : public a_email_folder {
public:
    // Takes a reference on `folder` (not null).
    email_folder(std::string path, IUnknown* folder);

    int get_number() override;
    std::string get_path() override;
    std::string move_email_here(a_email& email) override;
    std::string move_email_to_incoming(a_email& email) override;
    HRESULT switch_folder_action(int value, bool on) override;
    void find_emails_from(const std::string& address, com_ptr<IEnumVARIANT>& messages) override;
    HRESULT run_folder_action(int a, int b) override;
    void delete_last_mail(int days, std::string& sender, double& age_seconds) override;

private:
    std::string path_;
    com_ptr<IUnknown> folder_;
};

// One account: its name and its folders. Destroyed by its owner directly, never through this class.
class a_email_account {
public:
    // The number of folders.
    virtual int get_folder_count() = 0;
    // The account's name as the host gave it.
    virtual std::string get_name() = 0;
    // The folder whose path is incoming_path, or null; a folder found is remembered.
    virtual a_email_folder* find_incoming_folder() = 0;
    // The first folder whose path equals `path` exactly (letter case counts), or null.
    virtual a_email_folder* find_folder(const std::string& path) = 0;
    // The folder at `index`, or null when `index` is not below the count.
    virtual a_email_folder* get_folder(int index) = 0;
    // Has the host make folder `name` under its incoming folder and returns it, owned by the
    // account; null when there is no mailer ("FAIL: create_folder, MAILER == NULL"), no incoming
    // folder, or the host refuses. Throws com_error(E_OUTOFMEMORY) when `name` cannot be converted.
    virtual a_email_folder* create_folder(const std::string& name) = 0;
    // Has the host create a message to `to` with `subject` and `body` and send it; text2 and text3
    // are not used. Returns "". Without a mailer: "FAIL: send_email, MAILER == NULL".
    // Throws com_error(E_OUTOFMEMORY) when a text cannot be converted.
    virtual std::string send_email(const std::string& to, const std::string& text2, const std::string& text3,
                                   const std::string& subject, const std::string& body) = 0;
    // Appends the host's contacts that are texts to `contacts`; nothing without a mailer. Never throws
    // on the host's account: what was appended before a failure stays.
    virtual void get_contacts(std::vector<std::string>& contacts) = 0;

protected:
    ~a_email_account() = default;
};

// The account built from the host: the incoming folder's branch, walked from the host's root.
class email_account final : public a_email_account {
public:
    // Walks the host's folders through g_mailer (logged); stops at the first failure, keeping what
    // it found. Without a mailer the account has no folders.
    explicit email_account(std::string name);
    // A deep copy: the same name, a new folder (and host reference) for each folder.
    email_account(const email_account& other);
    email_account& operator=(const email_account& other);
    email_account(email_account&& other) noexcept;
    email_account& operator=(email_account&& other) noexcept;
    ~email_account() = default;

    int get_folder_count() override;
    std::string get_name() override;
    a_email_folder* find_incoming_folder() override;
    a_email_folder* find_folder(const std::string& path) override;
    a_email_folder* get_folder(int index) override;
    a_email_folder* create_folder(const std::string& name) override;
    std::string send_email(const std::string& to, const std::string& text2, const std::string& text3,
                           const std::string& subject, const std::string& body) override;
    void get_contacts(std::vector<std::string>& contacts) override;

private:
    // Collects the subfolders of `folder` at `path` that lie on the incoming folder's branch,
    // depth first, each before its own subfolders.
    void iterate_folder(IMailerHost& mailer, const VARIANT& folder, const std::string& path);

    std::string name_;
    std::vector<std::unique_ptr<email_folder>> folders_;
    email_folder* incoming_ = nullptr;  // one of folders_, or null
};

// The accounts the host offers.
class a_all_accounts {
public:
    // The number of accounts.
    virtual int get_account_count() = 0;
    // The account at `index`, or null when `index` is not below the count.
    virtual a_email_account* get_account(int index) = 0;

protected:
    ~a_all_accounts() = default;
};

// The collection built from the host: at most one account, the first the host lists.
class all_accounts final : public a_all_accounts {
public:
    // Reads the incoming folder's name into incoming_path and the first account through g_mailer
    // (logged). Never throws on the host's account: a failure (logged as "tttt") keeps
    // what was reached.
    all_accounts();

    int get_account_count() override;
    a_email_account* get_account(int index) override;

private:
    std::vector<email_account> accounts_;
};

// "/" followed by the incoming folder's name as the host last reported it; "" until then.
extern std::string incoming_path;

// The process-wide collection, built from the host when there is none. Never null; owned by the
// mail model until reset_all_accounts.
a_all_accounts* get_all_accounts();
// Destroys the collection, with its accounts and folders, if there is one.
void reset_all_accounts();
// True when incoming_path is not empty and occurs in `path` (letter case counts).
bool path_contains_incoming(const std::string& path);
