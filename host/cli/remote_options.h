// The account on a mail server that run, watch and expire filter instead of a Maildir, read and
// checked from the arguments before anything is written.
#pragma once

#include <optional>
#include <string>

#include "cli/options.h"
#include "store/mail_url.h"

struct remote_account_options {
    mail_url imap;
    std::optional<mail_url> smtp;  // none: challenges are appended to the Outbox folder on the server
                                   // (or handed to --sendmail); its user is the IMAP user when unnamed
    std::string password_command;  // run by /bin/sh; the first line it prints is the password
    std::string tls_ca;            // absolute path of a PEM file of the only authorities to trust;
                                   // "" for the system's
};

// The account --imap names, with --smtp, --password-command and --tls-ca; none without --imap.
// Throws usage_error, naming the option or the settings line, for a URL that parse_mail_url
// refuses, a --tls-ca that is not a readable regular file, --imap without --password-command, and
// --smtp, --password-command or --tls-ca on the command line without --imap (from the settings
// file they are then unused). No URL asks for a plain connection: imap:// and smtp:// mean
// STARTTLS, which only a loopback server may lack (plain_allowed).
std::optional<remote_account_options> read_remote_account_options(const parsed_arguments& arguments);
