// Recognising bounces, and telling the bounces of our own challenges from the others.
#include <ostream>
#include <set>
#include <utility>

#include "config/configuration.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "engine/subject_key.h"
#include "lists/address.h"
#include "mail/email.h"

std::string contains_sub_string(const address_set& patterns, std::string text) {
    std::ostream& log = debug_log();
    log << "contains_sub_string: subject = " << text << std::endl;
    for (std::string_view pattern : patterns) {
        log << "\tdaemon item = " << pattern << std::endl;
        // An empty pattern would match every subject and, being "", read as no match, hiding
        // the patterns after it; like an empty key, it occurs nowhere.
        if (!pattern.empty() && text.find(pattern) != std::string::npos) return std::string(pattern);
    }
    return {};
}

bool ostrel::is_MAILERDAEMON_subject(std::string subject) {
    std::string result = contains_sub_string(bounce_subject_patterns_, std::move(subject));
    debug_log() << "is_MAILERDAEMON_subject, res = " << result << std::endl;
    return !result.empty();
}

bool ostrel::is_reply_for_chalange_request(a_email& record) {
    const std::string body = record.get_body();
    // Only the first word with an "@" counts: a bounce quotes the challenged address first.
    const std::string address = extract_email_address(body);
    debug_log() << "is_reply_for_chalange_request: '" << address << "'\n";
    if (!address.empty() && is_in_pending_list(address)) return true;

    const std::string key = subject_key();
    if (engine_detail::contains_key(body, key)) return true;
    if (!key.empty()) {
        std::set<std::string> names;
        record.get_attachment_names(names);
        for (const std::string& name : names)
            if (engine_detail::contains_key(name, key)) return true;
    }
    debug_log() << record;
    return false;
}
