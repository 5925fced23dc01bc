// The account on an IMAP server as the store of a pass: see account_store.h.
#include "cli/account_store.h"

#include <cstring>
#include <iostream>

#include "cli/exit_status.h"
#include "cli/password_command.h"
#include "cli/session.h"
#include "store/imap_store.h"

imap_options imap_options_of(const filter_options& filter) {
    imap_options options;
    options.ca_file = filter.remote->tls_ca;
    return options;
}

bool connect_account(filter_options& filter, int& code) {
    if (!filter.remote) return true;
    if (filter.password.empty()) {
        std::string error;
        std::optional<std::string> password = run_password_command(filter.remote->password_command, error);
        if (!password) {
            std::cerr << "tarnwick: " << error << "\n";
            code = exit_failure;
            return false;
        }
        filter.password = std::move(*password);
        if (filter.host.smtp_server) filter.host.smtp_password = filter.password;
    }
    try {
        filter.link = std::make_shared<account_link>();
        filter.link->connection = open_imap_connection(filter.remote->imap, filter.password, imap_options_of(filter));
        return true;
    } catch (const imap_error& error) {
        std::cerr << "tarnwick: " << error.what() << "\n";
        code = exit_failure;
        return false;
    }
}

std::shared_ptr<mail_store> open_account_store(const filter_options& filter, const std::string& data_directory) {
    imap_store_options options;
    options.account = filter.remote->imap.text();
    options.dry_run = filter.dry_run;
    options.whole_message_limit = filter.host.max_message_size;
    return imap_store::open(std::move(filter.link->connection), data_directory, options);
}

filter_options read_store_options(const parsed_arguments& arguments, const std::string& command) {
    filter_options filter;
    filter.remote = read_remote_account_options(arguments);
    if (!filter.remote) filter.root = require_maildir(arguments, command);
    filter.session = read_session_settings(arguments);
    filter.session.maildir = filter.root;
    return filter;
}

std::string shown_folder(const filter_options& filter, const mail_store& store, const std::string& folder) {
    return filter.remote ? store.place_of(folder) : "." + folder;
}

bool connection_lost(const mail_store& store) {
    if (store.broken() == 0) return false;
    std::cerr << "tarnwick: " << store.account() << ": the connection was lost (" << std::strerror(store.broken())
              << ")\n";
    return true;
}
