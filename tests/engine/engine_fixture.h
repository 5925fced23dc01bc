// Each engine test starts from a fresh configuration file, empty list files, a known set of
// bounce patterns, a new engine object, no account collection and a fresh in-memory host as the
// current mailer. At the end every reference the host handed out must have been released.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "support/memory_host.h"
#include "support/seam_guards.h"

// Names parameterised tests after the `name` of their table row.
struct row_name {
    template <class Row>
    std::string operator()(const testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};

class engine_test : public testing::Test {
protected:
    using settings = std::map<std::string, std::string>;
    using message_id = memory_host::message_id;

    // The settings every test starts with.
    static settings default_settings();

    void SetUp() override;
    void TearDown() override;

    // Writes `values` as ostrel.cfg and reloads the configuration.
    void configure(const settings& values);
    // Changes one setting in memory.
    void set(const std::string& key, const std::string& value);
    // Writes a data file (a hand-edited list file, for example).
    void write_data_file(const std::string& name, const std::string& bytes);
    // The bytes of a data file; "" when it is missing.
    std::string data_file(const std::string& name);

    ostrel& engine() { return *get_ostrel_Object(); }
    // Puts a message into the incoming folder and hands it to run_workflow2.
    message_id deliver(memory_host::message_spec spec);
    // Hands an existing message to run_workflow2.
    void run(message_id message);
    // The pending folder "/Inbox/Pending", made in the host when it is missing.
    memory_host::folder_id pending_folder();
    bool in_folder(message_id message, memory_host::folder_id folder) const;
    // How often `piece` occurs in the captured log.
    int log_count(const std::string& piece) const;

    memory_host host;
    log_capture log;
    fault_hook_guard faults;
    clock_guard clocks;
};
