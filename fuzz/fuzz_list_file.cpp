// The list files are plain text anyone can edit: whatever one holds loads without a crash, and
// the list saved from it loads again as the same entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "config/data_dir.h"
#include "fuzz_support.h"
#include "lists/address.h"
#include "lists/address_list.h"
#include "lists/words_detail.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The data directory in the scratch folder, without seed files; the debug log stays closed.
    reset_data_dir_for_tests(fuzz::scratch_dir(), fuzz::scratch_dir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzz::scratch_file("list.lst", text);

    address_set list;
    load_list(path, list);
    // The same words in std::set, the order the file is written in: the same entries, in order,
    // however the file was ordered or repeated itself.
    std::set<std::string> model;
    lists_detail::for_each_word(text, [&model](std::string_view word) {
        model.emplace(word);
        return true;
    });
    FUZZ_CHECK(list.size() == model.size());
    FUZZ_CHECK(std::equal(list.begin(), list.end(), model.begin(), model.end()));
    for (std::string_view entry : list) {
        FUZZ_CHECK(!entry.empty());
        for (char c : entry) FUZZ_CHECK(c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r');
    }

    const std::string saved_path = fuzz::scratch_dir() + "/saved.lst";
    FUZZ_CHECK(save_list(saved_path, list));
    address_set reread;
    load_list(saved_path, reread);
    FUZZ_CHECK(reread == list);

    // An entry that is an address in its normal form is found as itself.
    for (std::string_view entry : list)
        if (extract_email_address(entry) == entry) FUZZ_CHECK(is_in_list(list, entry));

    // Edits keep the order too: every other entry out, then back in.
    address_set edited = list;
    bool odd = false;
    for (const std::string& entry : model)
        if ((odd = !odd)) FUZZ_CHECK(edited.erase(entry) == 1);
    FUZZ_CHECK(edited.size() == model.size() / 2);
    for (const std::string& entry : model) edited.insert(entry);
    FUZZ_CHECK(edited == list);

    address_set lines;
    load_list_full_line(path, lines);
    for (std::string_view line : lines) FUZZ_CHECK(!line.empty() && line.find('\n') == std::string_view::npos);
    return 0;
}
