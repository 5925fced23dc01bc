// The configuration file is the user's to edit: any bytes must parse, and what the store saves
// must read back as the same settings.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::map<std::string, std::string> entries;
    parse_config_text(text, entries);
    for (const auto& [key, value] : entries) {
        FUZZ_CHECK(!key.empty());  // a value is empty only where its ";" comes before the "="
        FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    }

    const std::string saved = format_config_file(entries);
    std::map<std::string, std::string> reread;
    parse_config_text(saved, reread);
    FUZZ_CHECK(reread.size() == entries.size());
    for (const auto& [key, value] : entries) {
        auto found = reread.find(key);
        FUZZ_CHECK(found != reread.end());
        FUZZ_CHECK(setting_text(found->second) == setting_text(value));
    }
    // Read back once, the entries are settled: the next save and load changes nothing.
    std::map<std::string, std::string> again;
    parse_config_text(format_config_file(reread), again);
    FUZZ_CHECK(again == reread);

    // The number reader behind every numeric setting takes any text.
    for (const auto& [key, value] : entries) (void)string_to_int(value);
    return 0;
}
