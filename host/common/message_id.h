// The message ids <...> of the Message-ID, In-Reply-To and References fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class message_id_reading {
    // Only ids fit to be written back into a header we compose (see well_formed_message_id).
    strict,
    // Any <...> of printable bytes without blanks, as other programs write them: for matching
    // ids, never for writing them.
    lenient,
};

// The ids <...> named in a field's raw value, in their order, without those `reading` refuses.
std::vector<std::string> message_ids_in(std::string_view raw, message_id_reading reading);

// True when `id` is <left@right> in printable ASCII, the left a dot-atom and the right a dot-atom
// or a whole [domain literal], short enough for any header line.
bool well_formed_message_id(std::string_view id);
