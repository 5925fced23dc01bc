// The commands of `tarnwick`. Each returns its exit status; usage_error leaves them before
// anything is written.
#pragma once

#include <string>
#include <vector>

#include "cli/exit_status.h"

int cmd_run(const std::vector<std::string>& args, bool watch);
int cmd_config(const std::vector<std::string>& args);
int cmd_list(const std::vector<std::string>& args);
int cmd_stats(const std::vector<std::string>& args);
int cmd_pending(const std::vector<std::string>& args);
int cmd_digest(const std::vector<std::string>& args);
int cmd_deliver(const std::vector<std::string>& args);
