// A challenge answers a stranger's header block: whatever it holds, the reply's header block has
// only the fields the composer writes, each once, on lines of printable ASCII (no CR, no NUL,
// nothing a value of the original could use to add a header), and one recipient.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "common/mime.h"
#include "fuzz_support.h"
#include "policy/reply.h"
#include "reply_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string subject = input.ConsumeRandomLengthString(200);
    const std::string body = input.ConsumeRandomLengthString(400);
    const std::string block = input.ConsumeRemainingBytesAsString();

    const header_summary original = parse_headers(block);
    (void)reason_not_to_answer(original);
    std::string error;
    const std::optional<std::string> reply =
        compose_reply(original, subject, body, error, user_addresses{"", {"me@home.example"}});
    if (!reply) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    const reply_header_check check = check_reply_headers(*reply);
    if (!check.problems.empty()) std::fputs(problems_text(check).c_str(), stderr);
    FUZZ_CHECK(check.problems.empty());
    return 0;
}
