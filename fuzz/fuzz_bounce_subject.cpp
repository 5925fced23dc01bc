// Bounce subjects are matched against the patterns of MAILERDAEMON_subject.cfg: for any
// patterns and any subject, the match names a pattern that occurs in the subject, or there is
// none.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/data_dir.h"
#include "engine/ostrel.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The data directory in the scratch folder, without seed files; the debug log stays closed.
    reset_data_dir_for_tests(fuzz::scratch_dir(), fuzz::scratch_dir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    address_set patterns;
    for (std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 8); count > 0; --count)
        patterns.insert(input.ConsumeRandomLengthString(64));
    const std::string subject = input.ConsumeRemainingBytesAsString();

    const std::string match = contains_sub_string(patterns, subject);
    if (match.empty()) {
        for (std::string_view pattern : patterns)
            FUZZ_CHECK(pattern.empty() || subject.find(pattern) == std::string::npos);
    } else {
        FUZZ_CHECK(patterns.count(match) == 1);
        FUZZ_CHECK(subject.find(match) != std::string::npos);
    }
    return 0;
}
