// Maildir file and folder names come from the disk, where other programs put them: the name
// functions take any bytes, keep the unique part, and give sorted flags that read back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/maildir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string name = input.ConsumeRandomLengthString(256);
    const std::string flags = input.ConsumeRandomLengthString(32);
    const std::string folder = input.ConsumeRemainingBytesAsString();

    const std::string_view unique = maildir::unique_part(name);
    FUZZ_CHECK(unique.find(':') == std::string_view::npos);
    FUZZ_CHECK(name.compare(0, unique.size(), unique) == 0);

    const std::string current = maildir::flags_of(name);
    FUZZ_CHECK(current.empty() || name.size() >= current.size() + 3);

    const std::string renamed = maildir::with_flags(name, flags);
    FUZZ_CHECK(maildir::unique_part(renamed) == unique);
    const std::set<char> wanted(flags.begin(), flags.end());
    FUZZ_CHECK(maildir::flags_of(renamed) == std::string(wanted.begin(), wanted.end()));
    FUZZ_CHECK(maildir::with_flags(renamed, maildir::flags_of(renamed)) == renamed);
    if (name.find('/') == std::string::npos && flags.find('/') == std::string::npos)
        FUZZ_CHECK(renamed.find('/') == std::string::npos);

    if (maildir::valid_folder_name(folder)) {
        FUZZ_CHECK(!folder.empty() && folder.front() != '.' && folder.back() != '.');
        FUZZ_CHECK(folder.find("..") == std::string::npos);
        for (char c : folder) FUZZ_CHECK(c != '/' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        FUZZ_CHECK(maildir::folder_directory("/m", folder) == "/m/." + folder);
    }
    return 0;
}
