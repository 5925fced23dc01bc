#include "config/configuration.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "config/data_dir.h"
#include "contract/words.h"
#include "diag/debug_log.h"
#include "diag/unwritten_files.h"
#include "platform/file_io.h"
#include "platform/random.h"

namespace {
// isspace of the "C" locale, whatever locale the host has set; bytes above 0x7F are never blanks.
bool is_blank(char c) { return contract_words::is_blank(static_cast<unsigned char>(c)); }

// A key or value that holds a line feed would split its line in the file and could bring in
// entries of its own; the line-break stand-in 0x01 keeps it on one line. A ";" would end the
// value early when read back, so it is written as its own stand-in, which only the parser
// turns back: files without it read as they always did.
std::string stored_form(std::string text) {
    replace_char(text, '\n', line_break_stand_in);
    replace_char(text, ';', semicolon_stand_in);
    return text;
}

// The settings that carry the answer key: the key itself, and the texts that quote it.
constexpr const char* keyed_settings[] = {"ARSubjectKey", "ARMessageKey", "ARSubject"};

// "[TWK-" and eight characters from the platform's cryptographic random source; none when the
// source fails. The alphabet has 32 characters, without look-alikes, so each byte gives one
// character without bias.
std::optional<std::string> make_answer_key() {
    static constexpr char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    unsigned char bytes[8];
    if (!fill_random_bytes(bytes, sizeof bytes)) return std::nullopt;
    std::string key = "[TWK-";
    for (unsigned char byte : bytes) key += alphabet[byte % 32];
    return key + "]";
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}
}  // namespace

simple_ostrel_configuration::simple_ostrel_configuration() { load(); }

std::string simple_ostrel_configuration::get_value(const std::string& key) {
    auto found = entries_.find(key);
    if (found != entries_.end()) return found->second;
    debug_log() << "config warnning - unable to find config for '" << key << "'\n";
    return {};
}

void simple_ostrel_configuration::set_value(const std::string& key, const std::string& value) { entries_[key] = value; }

bool simple_ostrel_configuration::save() {
    return replace_file_atomically(get_data_file_path(settings_file_name), format_config_file(entries_));
}

void simple_ostrel_configuration::load() {
    parse_config_file(get_data_file_path(settings_file_name));
    bool from_seed = false;
    if (entries_.empty()) {
        parse_config_file(get_data_file_path(pristine_settings_file_name));
        from_seed = !entries_.empty();
    }
    // Every switch then reads as off, protection included; the user must learn why.
    if (entries_.empty()) {
        debug_log() << "config warnning - ostrel.cfg holds no setting; protection is off" << std::endl;
        return;
    }
    replace_shared_key(from_seed);
}

void simple_ostrel_configuration::replace_shared_key(bool from_seed) {
    // The seed's key is the same in every installation, so anyone could answer a challenge
    // without having received it.
    std::map<std::string, std::string> seed;
    if (from_seed) {
        seed = entries_;
    } else if (std::optional<std::string> content = read_file(get_data_file_path(pristine_settings_file_name))) {
        parse_config_text(*content, seed);
    }
    auto seed_key = seed.find("ARSubjectKey");
    if (seed_key == seed.end() || setting_text(seed_key->second).empty()) return;
    auto key = entries_.find("ARSubjectKey");
    if (key == entries_.end() || key->second != seed_key->second) return;

    if (own_key_.empty()) {
        std::optional<std::string> made = make_answer_key();
        if (!made) {
            debug_log() << "FAIL: config - no random key could be made; the key every installation shares stays"
                        << std::endl;
            return;
        }
        own_key_ = *made;
    }
    const std::string shared = seed_key->second;
    for (const char* name : keyed_settings)
        if (auto found = entries_.find(name); found != entries_.end()) replace_all(found->second, shared, own_key_);
    if (!save()) {
        // Kept in memory for this process, and made again at the next start until it is saved.
        debug_log() << "FAIL: config - unable to write ostrel.cfg with the installation's own answer key" << std::endl;
        note_unwritten_file(get_data_file_path(settings_file_name));
        return;
    }
    if (!from_seed)
        debug_log() << "config - ostrel.cfg held the answer key every installation shares; it now has one of its own"
                    << std::endl;
}

void simple_ostrel_configuration::reload() { load(); }

void simple_ostrel_configuration::parse_config_file(const std::string& path) {
    entries_.clear();
    if (std::optional<std::string> content = read_file(path)) parse_config_text(*content, entries_);
}

std::string format_config_file(const std::map<std::string, std::string>& entries) {
    std::string bytes;
    for (const auto& [key, value] : entries) {
        // A line that starts with "//" is a comment: such a key is written after a blank, which
        // the parser trims, or the entry would be lost at the next load.
        if (key.starts_with("//")) bytes += ' ';
        // "=" is how the parser gives an empty key; written as it is, it would read back as an
        // empty key whose value starts with "= ".
        if (key != "=") bytes += stored_form(key);
        bytes += " = ";
        bytes += stored_form(value);
        bytes += " ;\r\n";
    }
    return bytes;
}

a_configuration* get_configuration(std::string /*user_name*/) {
    static simple_ostrel_configuration configuration;
    return &configuration;
}

void replace_char(std::string& text, char from, char to) {
    for (char& c : text)
        if (c == from) c = to;
}

std::string int_to_string(int value) { return std::to_string(value); }

int string_to_int(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate toward the limit of the sign, so that INT_MIN itself is reachable.
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}
