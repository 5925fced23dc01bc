#include "config/configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <regex>

#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "platform/file_io.h"
#include "support/program_data.h"
#include "support/seam_guards.h"
#include "support/temp_dir.h"

namespace {
using entry_map = std::map<std::string, std::string>;

// A fresh data directory, without seed files unless seed() is called first.
class configuration_test : public testing::Test {
protected:
    void SetUp() override { reset_data_dir_for_tests(app_data.path(), no_seeds.path()); }
    void TearDown() override { reset_data_dir_for_tests(program_app_data()); }
    void seed() { reset_data_dir_for_tests(app_data.path()); }
    std::string cfg_bytes() const { return read_text_file(get_data_file_path("ostrel.cfg")); }

    temp_dir app_data;
    temp_dir no_seeds;
    fault_hook_guard faults;
};

template <std::size_t N>
std::string bytes(const char (&text)[N]) {  // NUL bytes included
    return std::string(text, N - 1);
}

const struct {
    const char* name;
    std::string file;
    entry_map expected;
} parse_cases[] = {
    {"written form, comment, no ;",
     "EnableProtection = true ;\r\n//ARSubject = hi ;\r\nMarkBlockedAsRead = true\r\n",
     {{"EnableProtection", "true"}}},
    {"blanks trimmed, rest ignored", " \tKey  =\v a  b \f; x = y ;\n", {{"Key", "a  b"}}},
    {"only the first = splits", "url = http://a.b/c?d=e ;\n", {{"url", "http://a.b/c?d=e"}}},
    {"// not at column 0", "  // note = kept ;\n", {{"// note", "kept"}}},
    {"empty or blank value", "A = ;\nB=;\n", {{"A", ";"}, {"B", ";"}}},
    {"empty key", " = v ;\n", {{"=", "v"}}},
    {"; before =", "a;b = c\n", {{"a;b", ""}}},
    {"last duplicate wins", "K = 1 ;\nK = 2 ;\n", {{"K", "2"}}},
    {"LF, CR LF, no final break", "A = 1 ;\nB = 2 ;\r\nC = 3 ;", {{"A", "1"}, {"B", "2"}, {"C", "3"}}},
    {"ignored lines", "\n\r\n   \nno equals ;\nno semicolon = x\n", {}},
    {"NUL and high bytes", bytes("K\0y = v\0\xff\x01 ;\n\0\0\n"), {{bytes("K\0y"), bytes("v\0\xff\x01")}}},
    {"note after the ;", "x = true ; // note\n", {{"x", "true"}}},
    {"semicolon stand-in", "K\x02y = a\x02 b\x02 ;\n", {{"K;y", "a; b;"}}},
    {"very long line", "L = " + std::string(1 << 20, 'x') + " ;", {{"L", std::string(1 << 20, 'x')}}},
    {"no delimiter at all", std::string(1 << 20, '\xfe'), {}},
};
}  // namespace

TEST_F(configuration_test, parses_the_file_format) {
    simple_ostrel_configuration store;
    for (const auto& row : parse_cases) {
        write_text_file(app_data.file("test.cfg"), row.file);
        store.set_value("left over", "x");
        store.parse_config_file(app_data.file("test.cfg"));
        EXPECT_EQ(store.entries(), row.expected) << row.name;
    }
}

TEST(setting_text, gives_the_text_a_stored_value_means) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {";", ""}, {" ;", " ;"}, {";;", ";;"}, {"a;b", "a;b"}, {"Hello,\x01World\x01", "Hello,\nWorld\n"},
    };
    for (const auto& [stored, meant] : cases) EXPECT_EQ(setting_text(stored), meant) << stored;
}

TEST_F(configuration_test, any_text_reads_back_whole_after_a_save) {
    const std::string texts[] = {"Hello; please reply", ";", ";;", "a = b ; c = d", "line\none;\ntwo"};
    simple_ostrel_configuration store;
    for (const std::string& text : texts) {
        store.set_value("ARMessage", text);
        store.set_value("K;ey", "v");
        ASSERT_TRUE(store.save());
        store.load();
        std::string stored = store.get_value("ARMessage");
        EXPECT_EQ(setting_text(stored), setting_text(text)) << text;
        EXPECT_EQ(store.get_value("K;ey"), "v");
        EXPECT_EQ(store.entries().size(), 2u) << text;
    }
}

TEST(string_to_int, follows_atoi_and_saturates) {
    const std::pair<std::string, int> cases[] = {
        {"", 0},
        {"abc", 0},
        {" \t\n+42x", 42},
        {"-17", -17},
        {"- 5", 0},
        {"\xa0"
         "5",
         0},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(string_to_int(text), expected) << text;
}

TEST_F(configuration_test, save_writes_entries_in_byte_order_and_reads_back) {
    simple_ostrel_configuration store;
    store.set_value("b", "1");
    store.set_value("Zed", "");
    store.set_value("ARSubject", "cut; here");
    store.set_value("PENDING_FOLDER_NAME", "P\nEnableProtection = false ;");  // no entry of its own
    ASSERT_TRUE(store.save());
    EXPECT_EQ(cfg_bytes(),
              "ARSubject = cut\x02 here ;\r\nPENDING_FOLDER_NAME = P\x01"
              "EnableProtection = false \x02 ;\r\n"
              "Zed =  ;\r\nb = 1 ;\r\n");
    store.load();
    EXPECT_EQ(store.entries(), (entry_map{{"ARSubject", "cut; here"},
                                          {"PENDING_FOLDER_NAME",
                                           "P\x01"
                                           "EnableProtection = false ;"},
                                          {"Zed", ";"},
                                          {"b", "1"}}));
}

TEST_F(configuration_test, keys_that_look_like_a_comment_or_are_empty_survive_a_save) {
    write_text_file(get_data_file_path("ostrel.cfg"), "  // note = kept ;\r\n//real = comment ;\r\n = empty key ;\r\n");
    simple_ostrel_configuration store;
    const entry_map expected = {{"// note", "kept"}, {"=", "empty key"}};
    ASSERT_EQ(store.entries(), expected);
    ASSERT_TRUE(store.save());
    EXPECT_EQ(cfg_bytes(), " // note = kept ;\r\n = empty key ;\r\n");
    store.load();
    EXPECT_EQ(store.entries(), expected);
}

TEST_F(configuration_test, a_failed_save_keeps_the_old_file_and_leaves_nothing_behind) {
    simple_ostrel_configuration store;
    store.set_value("EnableProtection", "true");
    ASSERT_TRUE(store.save());
    const std::string saved = cfg_bytes();
    store.set_value("EnableProtection", "false");
    for (file_step failing : {file_step::create_temporary, file_step::write, file_step::flush, file_step::rename}) {
        set_file_fault_hook([failing](file_step step, const std::string&) { return step != failing; });
        EXPECT_FALSE(store.save()) << static_cast<int>(failing);
        EXPECT_EQ(cfg_bytes(), saved);
        auto files = std::distance(std::filesystem::directory_iterator(get_data_dir()), {});
        EXPECT_EQ(files, 1) << "a temporary file was left behind";
    }
    EXPECT_EQ(store.get_value("EnableProtection"), "false");
}

TEST_F(configuration_test, a_file_without_entries_falls_back_to_the_pristine_copy) {
    seed();
    const std::string comments_only = "// nothing here\r\n//EnableProtection = false ;\r\n";
    write_text_file(get_data_file_path("ostrel.cfg"), comments_only);
    simple_ostrel_configuration store;
    // Written at once, so that the installation keeps the answer key made for it.
    entry_map written;
    parse_config_text(cfg_bytes(), written);
    EXPECT_EQ(written, store.entries());

    // The shipped pristine copy makes a working installation, so nothing is missing.
    log_capture log;
    for (const char* key : {"ATHORIZED_LIST_FN", "IGNORE_LIST_FN", "PENDING_LIST_FN", "REMOVE_LIST_FN",
                            "PENDING_FOLDER_NAME", "ARMessage"})
        EXPECT_NE(store.get_value(key), "") << key;
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(store.get_value("EnableProtection"), "true");
    EXPECT_NE(store.get_value("ARSubject").find(store.get_value("ARSubjectKey")), std::string::npos);

    write_text_file(get_data_file_path("ostrel.cfg"), "LanguageId = 1031 ;\r\n");
    store.reload();
    EXPECT_EQ(store.entries(), (entry_map{{"LanguageId", "1031"}}));
}

TEST_F(configuration_test, a_load_that_yields_no_setting_says_once_that_protection_is_off) {
    const struct {
        const char* name;
        bool seeded;
        const char* file;  // null: no ostrel.cfg
        bool warned;
    } rows[] = {
        {"no file, no pristine copy", false, nullptr, true},
        {"only comments, no pristine copy", false, "// EnableProtection = true ;\r\n", true},
        {"no line that parses", false, "EnableProtection = true\r\n", true},
        {"only comments, pristine copy", true, "// nothing\r\n", false},
        {"one setting", false, "LanguageId = 1031 ;\r\n", false},
    };
    for (const auto& row : rows) {
        temp_dir data;
        if (row.seeded) {
            reset_data_dir_for_tests(data.path());
        } else {
            reset_data_dir_for_tests(data.path(), no_seeds.path());
        }
        if (row.file) write_text_file(get_data_file_path("ostrel.cfg"), row.file);
        log_capture log;
        simple_ostrel_configuration store;
        // One line when warned, none otherwise; its wording is ours, not the log's contract.
        EXPECT_EQ(log.contains("ostrel.cfg holds no setting"), row.warned) << row.name;
        EXPECT_EQ(std::count(log.text().begin(), log.text().end(), '\n'), row.warned ? 1 : 0) << log.text();
    }
}

TEST_F(configuration_test, a_missing_key_logs_a_warning_and_is_not_added) {
    simple_ostrel_configuration store;
    log_capture log;
    EXPECT_EQ(store.get_value("NoSuchKey"), "");
    EXPECT_EQ(log.text(), "config warnning - unable to find config for 'NoSuchKey'\n");
    EXPECT_EQ(store.entries().count("NoSuchKey"), 0u);
    EXPECT_EQ(get_configuration("ostrel_user"), get_configuration("anyone"));
}

namespace {
// The pristine copy's answer key, as the build ships it.
std::string seed_key() {
    entry_map seed;
    parse_config_text(read_text_file(get_data_file_path("ostrel_original.cfg")), seed);
    return seed["ARSubjectKey"];
}

bool is_own_key(const std::string& key) { return std::regex_match(key, std::regex(R"(\[TWK-[A-Z2-9]{8}\])")); }

// The configuration a data folder of its own gets from the pristine copy.
entry_map fresh_configuration(const temp_dir& app_data) {
    reset_data_dir_for_tests(app_data.path());
    simple_ostrel_configuration store;
    return store.entries();
}
}  // namespace

TEST_F(configuration_test, each_installation_gets_an_answer_key_of_its_own) {
    temp_dir one, two;
    entry_map first = fresh_configuration(one);
    const std::string shared = seed_key();
    ASSERT_FALSE(shared.empty());
    entry_map second = fresh_configuration(two);

    for (const entry_map& made : {first, second}) {
        const std::string& key = made.at("ARSubjectKey");
        EXPECT_TRUE(is_own_key(key)) << key;
        EXPECT_EQ(made.at("ARMessageKey"), key);
        EXPECT_NE(made.at("ARSubject").find(key), std::string::npos) << made.at("ARSubject");
        EXPECT_EQ(made.at("ARSubject").find(shared), std::string::npos) << made.at("ARSubject");
    }
    EXPECT_NE(first.at("ARSubjectKey"), second.at("ARSubjectKey"));

    // Saved with the configuration: the next process reads the same key, and logs nothing.
    reset_data_dir_for_tests(one.path());
    entry_map written;
    parse_config_text(cfg_bytes(), written);
    EXPECT_EQ(written, first);
    log_capture log;
    simple_ostrel_configuration again;
    EXPECT_EQ(again.entries(), first);
    EXPECT_EQ(log.text(), "");
}

TEST_F(configuration_test, a_key_the_user_set_stays) {
    seed();
    const std::string mine = "LanguageId = 1031 ;\r\nARSubjectKey = [mine] ;\r\nARSubject = Confirm [mine] ;\r\n";
    write_text_file(get_data_file_path("ostrel.cfg"), mine);
    log_capture log;
    simple_ostrel_configuration store;
    EXPECT_EQ(store.get_value("ARSubjectKey"), "[mine]");
    EXPECT_EQ(cfg_bytes(), mine);
    EXPECT_EQ(log.text(), "");
}

TEST_F(configuration_test, an_old_folder_with_the_shared_key_gets_its_own_at_the_next_start) {
    seed();
    const std::string shared = seed_key();
    write_text_file(get_data_file_path("ostrel.cfg"), "LanguageId = 1031 ;\r\nARSubjectKey = " + shared +
                                                          " ;\r\nARMessageKey = " + shared +
                                                          " ;\r\nARSubject = Bitte bestaetigen " + shared + " ;\r\n");
    log_capture log;
    simple_ostrel_configuration store;
    const std::string key = store.get_value("ARSubjectKey");
    EXPECT_TRUE(is_own_key(key)) << key;
    const entry_map expected = {{"LanguageId", "1031"},
                                {"ARSubjectKey", key},
                                {"ARMessageKey", key},
                                {"ARSubject", "Bitte bestaetigen " + key}};
    EXPECT_EQ(store.entries(), expected);
    entry_map written;
    parse_config_text(cfg_bytes(), written);
    EXPECT_EQ(written, expected);
    EXPECT_TRUE(log.contains("answer key")) << log.text();

    // While the file cannot be written, the process keeps one key: a challenge it sent can be
    // answered until it ends.
    const std::string old_file = "ARSubjectKey = " + shared + " ;\r\n";
    write_text_file(get_data_file_path("ostrel.cfg"), old_file);
    fault_hook_guard no_writes([](file_step, const std::string&) { return false; });
    simple_ostrel_configuration refused;
    const std::string kept = refused.get_value("ARSubjectKey");
    EXPECT_TRUE(is_own_key(kept)) << kept;
    refused.reload();
    EXPECT_EQ(refused.get_value("ARSubjectKey"), kept);
    EXPECT_EQ(cfg_bytes(), old_file);
}
