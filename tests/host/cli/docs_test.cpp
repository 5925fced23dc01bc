// The man pages and the bash completion against the program's own tables: a command, option or
// setting added to the tables and left out of them fails here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "support/temp_dir.h"

namespace {

// Whether the scdoc source `page` has a term (a line starting with a bold word) for `name`:
// "*name*" or "*name more words*".
bool has_term(const std::string& page, const std::string& name) {
    const std::string start = "\n*" + name;
    for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
        char next = at + start.size() < page.size() ? page[at + start.size()] : '\0';
        if (next == '*' || next == ' ') return true;
    }
    return false;
}

// What the completion offers for `line` (its last word, "" after a blank, being completed).
std::set<std::string> completions(const std::string& line) {
    const std::string script = "source '" TARNWICK_COMPLETION
                               "'; read -ra COMP_WORDS <<<\"$1\"; [[ $1 == *' ' ]] && COMP_WORDS+=('');"
                               " COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tarnwick; printf '%s\\n' \"${COMPREPLY[@]}\"";
    // The script and the line go through the environment, so no quoting of theirs can break the call.
    ::setenv("COMPLETION_SCRIPT", script.c_str(), 1);
    ::setenv("COMPLETION_LINE", line.c_str(), 1);
    FILE* output = ::popen("bash --norc --noprofile -c \"$COMPLETION_SCRIPT\" bash \"$COMPLETION_LINE\"", "r");
    std::set<std::string> words;
    if (!output) return words;
    char buffer[4096];
    std::string text;
    while (size_t n = std::fread(buffer, 1, sizeof buffer, output)) text.append(buffer, n);
    ::pclose(output);
    std::istringstream lines(text);
    for (std::string word; std::getline(lines, word);)
        if (!word.empty()) words.insert(word);
    return words;
}

bool takes(const option_spec& option, const std::string& command) {
    return (" " + std::string(option.commands) + " ").find(" " + command + " ") != std::string::npos;
}

}  // namespace

TEST(manual_pages, name_every_command_option_and_setting) {
    const std::string manual = read_text_file(TARNWICK_MAN_SOURCES "/tarnwick.1.scd");
    const std::string settings = read_text_file(TARNWICK_MAN_SOURCES "/tarnwick-config.5.scd");
    ASSERT_FALSE(manual.empty());
    ASSERT_FALSE(settings.empty());
    std::vector<std::string> missing;
    for (const command_spec& command : command_table())
        if (!has_term(manual, command.name)) missing.push_back(std::string("tarnwick(1): command ") + command.name);
    for (const std::string name : {"--config", "--help"})
        if (!has_term(manual, name)) missing.push_back("tarnwick(1): " + name);
    for (const option_spec& option : option_table()) {
        if (!has_term(manual, std::string("--") + option.name))
            missing.push_back(std::string("tarnwick(1): option --") + option.name);
        if (option.kind != option_kind::flag && !has_term(settings, option.name))
            missing.push_back(std::string("tarnwick-config(5): setting ") + option.name);
    }
    EXPECT_EQ(missing, std::vector<std::string>{});
}

TEST(bash_completion, offers_every_command_and_each_command_its_options) {
    std::set<std::string> commands = completions("tarnwick ");
    std::vector<std::string> missing;
    for (const command_spec& command : command_table()) {
        if (!commands.count(command.name)) missing.push_back(command.name);
        if (command.name[0] == '-') continue;
        std::set<std::string> options = completions(std::string("tarnwick ") + command.name + " --");
        for (const option_spec& option : option_table())
            if (takes(option, command.name) && !options.count(std::string("--") + option.name))
                missing.push_back(std::string(command.name) + " --" + option.name);
        for (const char* everywhere : {"--config", "--help"})
            if (!options.count(everywhere)) missing.push_back(std::string(command.name) + " " + everywhere);
    }
    EXPECT_EQ(missing, std::vector<std::string>{});
}

TEST(bash_completion, completes_words_by_their_place) {
    temp_dir folder;
    write_text_file(folder.file("notes.txt"), "x");
    std::filesystem::create_directory(folder.file("Maildir"));
    const std::string lists = "authorized ignore pending remove";
    struct row {
        std::string line;
        std::string offered;  // sorted, blank-separated
    } rows[] = {
        {"tarnwick li", "list"},
        {"tarnwick list ", "add modify remove show"},
        {"tarnwick list show ", lists},
        {"tarnwick list --data-dir /tmp add ", lists},
        {"tarnwick list add --wait i", "ignore"},
        {"tarnwick list add authorized ", ""},
        {"tarnwick config ", "get set show"},
        {"tarnwick stats --days ", ""},
        {"tarnwick deliver -f ", ""},
        {"tarnwick run --maildir " + folder.path() + "/", folder.file("Maildir")},
        {"tarnwick run --contacts " + folder.path() + "/n", folder.file("notes.txt")},
    };
    for (const row& r : rows) {
        std::string offered;
        for (const std::string& word : completions(r.line)) offered += (offered.empty() ? "" : " ") + word;
        EXPECT_EQ(offered, r.offered) << r.line;
    }
}
