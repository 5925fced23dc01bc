// What a composed challenge promises about its header block, checked independently of the
// composer: by the reply tests and by the reply fuzz target.
#pragma once

#include <map>
#include <string>
#include <vector>

struct reply_header_check {
    std::map<std::string, std::string> values;  // each field's unfolded value, by lower-case name
    std::vector<std::string> problems;          // one line for each broken promise; empty when none
};

// Reads the header block of `reply` (LF line ends) and names every way it breaks the promises:
// lines of printable ASCII (tab allowed) of at most 998 bytes; exactly the fields the composer
// writes, each once; well-formed <left@right> ids in In-Reply-To and References; one recipient.
reply_header_check check_reply_headers(const std::string& reply);

// The problems on one line each, for a failure message.
std::string problems_text(const reply_header_check& check);
