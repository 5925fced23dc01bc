// The account on an IMAP server as the store of a pass: the password fetched once from its
// command, the connection made and logged in before the data folder is locked (a login the
// server refuses changes nothing), and the store opened over it once the lock is held (it
// finishes there what an earlier run left under way on the server).
#pragma once

#include <memory>
#include <string>

#include "cli/filter_pass.h"
#include "store/imap_connection.h"
#include "store/mail_store.h"

// The connection that connect_account made, until a pass opens its store over it.
struct account_link {
    std::unique_ptr<imap_connection> connection;
};

// For `filter` with an account (filter.remote): fetches its password when not fetched yet, and
// connects and logs in; kept in filter.link. True with nothing to do for a Maildir. False after
// saying why on standard error, with the exit code in `code`.
bool connect_account(filter_options& filter, int& code);

// The connection's settings for `filter`'s account.
imap_options imap_options_of(const filter_options& filter);

// The store over the connection in filter.link, its records in `data_directory`; `dry_run`: the
// server is only read.
std::shared_ptr<mail_store> open_account_store(const filter_options& filter, const std::string& data_directory);

// For the commands that read or judge the pending folder (pending, its verdicts, digest): the
// account of --imap with --password-command and --tls-ca, else the Maildir of --maildir, and the
// session's settings. Throws usage_error for a wrong one.
filter_options read_store_options(const parsed_arguments& arguments, const std::string& command);

// `folder` of `store` as the user finds it: ".Pending" in a Maildir, the server's name on IMAP.
std::string shown_folder(const filter_options& filter, const mail_store& store, const std::string& folder);

// True, after saying so on standard error, when a dropped connection cut short what `store` read
// or did since it was opened.
bool connection_lost(const mail_store& store);
