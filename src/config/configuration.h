// The key/value configuration store: one per process, read from "ostrel.cfg" in the data
// directory (or the pristine "ostrel_original.cfg" when that yields nothing, which then becomes
// ostrel.cfg with an answer key of its own), written back on request. Keys and values are narrow
// text; keys are case-sensitive.
#pragma once

#include <map>
#include <string>
#include <string_view>

// The file's text, its stand-ins and setting_text, which hosts share.
#include "contract/settings_file.h"

class a_configuration {
public:
    // The value of `key`, or "" when it is missing (then a warning line is logged).
    virtual std::string get_value(const std::string& key) = 0;
    // Stores `value` under `key`, in memory only.
    virtual void set_value(const std::string& key, const std::string& value) = 0;
    // Replaces "ostrel.cfg" atomically by every entry in key order. False when it could not be
    // written; the file is then unchanged and memory keeps the values.
    virtual bool save() = 0;
    // Replaces the entries in memory by those of "ostrel.cfg", or of the pristine copy when the
    // first yields none. When neither yields any, this is logged. An answer key that is still the
    // pristine copy's is replaced by a random one of this installation's own, saved at once.
    virtual void load() = 0;
    // The same as load().
    virtual void reload() = 0;

protected:
    ~a_configuration() = default;
};

class simple_ostrel_configuration final : public a_configuration {
public:
    simple_ostrel_configuration();  // loads

    std::string get_value(const std::string& key) override;
    void set_value(const std::string& key, const std::string& value) override;
    bool save() override;
    void load() override;
    void reload() override;

    // Empties the map and reads one configuration file into it; a missing file leaves it empty.
    void parse_config_file(const std::string& path);
    const std::map<std::string, std::string>& entries() const { return entries_; }

private:
    // Gives the entries a random answer key in place of the pristine copy's, in the key and the
    // texts that quote it, and saves them (logged); a key that differs from the pristine copy's is
    // the user's and stays. `from_seed`: the entries are the pristine copy itself.
    void replace_shared_key(bool from_seed);

    std::map<std::string, std::string> entries_;
    // The key made in this process: a load after a failed save gives the same one again.
    std::string own_key_;
};

// The formatting behind save, for callers that hold the bytes: the bytes save writes, which the
// contract's parser (parse_config_text) reads back as the same entries (an empty value as ";",
// which setting_text reads as empty all the same).
std::string format_config_file(const std::map<std::string, std::string>& entries);

// The process-wide store; the user name selects nothing. The first call creates and loads it.
a_configuration* get_configuration(std::string user_name);

// Replaces every `from` byte of `text` by `to`, in place.
void replace_char(std::string& text, char from, char to);
// "%d" of the number.
std::string int_to_string(int value);
// atoi rules: leading blanks, optional sign, digits up to the first non-digit; 0 without digits.
// Values beyond the 32-bit range saturate instead of overflowing.
int string_to_int(const std::string& text);
