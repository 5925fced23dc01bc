// Message bodies come from strangers: any bytes walk to a body text and attachment names, in
// UTF-8, and the file reader (which parses from disk) finds the same as the one for bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/mime.h"
#include "fuzz_support.h"
#include "fuzz_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    message_content content = parse_content(text);
    FUZZ_CHECK(fuzz::utf8(content.body));
    for (const std::string& name : content.attachment_names) FUZZ_CHECK(!name.empty() && fuzz::utf8(name));

    std::optional<message_content> from_file = parse_content_file(fuzz::scratch_file("message", text));
    FUZZ_CHECK(from_file);
    FUZZ_CHECK(from_file->body == content.body);
    FUZZ_CHECK(from_file->attachment_names == content.attachment_names);
    return 0;
}
