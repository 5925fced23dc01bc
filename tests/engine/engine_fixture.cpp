#include "engine_fixture.h"

#include <cstdint>

#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/timers.h"
#include "mail/accounts.h"
#include "mail/mailer_host.h"
#include "platform/file_io.h"
#include "support/filtering_settings.h"
#include "support/temp_dir.h"

engine_test::settings engine_test::default_settings() { return filtering_settings(); }

void engine_test::SetUp() {
    configure(default_settings());
    for (const char* name : {"authorized.lst", "ignore.lst", "pending.lst", "remove.lst", "release.lst"})
        write_data_file(name, "");
    write_data_file("MAILERDAEMON_subject.cfg", "Undeliverable\r\nReturned mail\r\nDelivery Failure\r\n");
    reset_ostrel_object_for_tests();
    reset_all_accounts();
    g_mailer = host.mailer();
    set_wall_clock_for_tests([] { return std::int64_t{1'700'000'000}; });  // timers report 0 seconds
    log.clear();
}

void engine_test::TearDown() {
    reset_ostrel_object_for_tests();
    reset_all_accounts();
    g_mailer.reset();
    g_savedMailer.reset();
    EXPECT_EQ(host.outstanding_references(), 0) << host.describe_outstanding();
}

void engine_test::configure(const settings& values) {
    std::string bytes;
    for (const auto& [key, value] : values) bytes += key + " = " + value + " ;\r\n";
    write_data_file("ostrel.cfg", bytes);
    get_configuration("ostrel_user")->load();
}

void engine_test::set(const std::string& key, const std::string& value) {
    get_configuration("ostrel_user")->set_value(key, value);
}

void engine_test::write_data_file(const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(replace_file_atomically(get_data_file_path(name), bytes)) << name;
}

std::string engine_test::data_file(const std::string& name) { return read_text_file(get_data_file_path(name)); }

engine_test::message_id engine_test::deliver(memory_host::message_spec spec) {
    message_id message = host.add_message(host.incoming(), std::move(spec));
    run(message);
    return message;
}

void engine_test::run(message_id message) {
    com_ptr<IUnknown> object = host.message_object(message);
    engine().run_workflow2(memory_host::unknown_view(object.get()));
}

memory_host::folder_id engine_test::pending_folder() { return host.add_folder("/Inbox/Pending"); }

bool engine_test::in_folder(message_id message, memory_host::folder_id folder) const {
    return host.folder_of(message) == folder;
}

int engine_test::log_count(const std::string& piece) const {
    int count = 0;
    for (auto at = log.text().find(piece); at != std::string::npos; at = log.text().find(piece, at + 1)) ++count;
    return count;
}
