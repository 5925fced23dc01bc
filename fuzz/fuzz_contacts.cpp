// The contacts file is the user's, but often exported by other programs: any bytes read as
// vCards or as lines of addresses without a crash, each address once and trimmed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime.h"
#include "fuzz_support.h"
#include "policy/contacts.h"

namespace {

void check_addresses(const std::vector<std::string>& addresses) {
    std::set<std::string> seen;
    for (const std::string& address : addresses) {
        FUZZ_CHECK(!address.empty());
        FUZZ_CHECK(address.find_first_of(" \t\r\n") != 0 && address.find_last_of(" \t\r\n") != address.size() - 1);
        FUZZ_CHECK(seen.insert(ascii_lower(address)).second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::vector<std::string> cards = vcard_addresses(text);
    check_addresses(cards);

    std::string error;
    std::optional<std::vector<std::string>> read = read_contacts(fuzz::scratch_file("contacts", text), error);
    FUZZ_CHECK(read);
    check_addresses(*read);
    for (const std::string& address : *read) FUZZ_CHECK(address.find('\n') == std::string::npos);
    if (ascii_lower(text).find("begin:vcard") != std::string::npos) FUZZ_CHECK(*read == cards);
    return 0;
}
