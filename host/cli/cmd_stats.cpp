// tarnwick stats: what the filter did, day by day, from the history that each run adds a line to.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include "cli/commands.h"
#include "cli/json_text.h"
#include "cli/session.h"
#include "contract/addin_data.h"
#include "platform/file_io.h"
#include "platform/fs.h"
#include "platform/posix_files.h"
#include "policy/history.h"

const char stats_usage[] =
    "usage: tarnwick stats [--days N] [--json] [--data-dir DIR]\n"
    "\n"
    "Shows what the filter did on each of the last N days (7 by default; days in UTC, today\n"
    "last), summed over the runs of each day: messages filtered, kept in the inbox, moved to\n"
    "the pending folder, deleted, challenges sent and withheld (by reason), mail released to\n"
    "the inbox, pending mail expired. `watch` adds its figures when it stops.\n"
    "\n"
    "  --days N          the number of days, from 1 to 3660\n"
    "  --json            the same figures as JSON, one object per day\n"
    "  --data-dir DIR    the filter's files are in DIR/OstrelAntiSpam\n";

namespace {

constexpr int longest_bar = 18;
constexpr const char* no_reason = "(no reason given)";

struct day_figures {
    std::string day;  // "YYYY-MM-DD", UTC
    int runs = 0;
    std::map<std::string, long> counts;  // summed over the day's runs

    long count(const std::string& name) const {
        auto found = counts.find(name);
        return found == counts.end() ? 0 : found->second;
    }
    // Withheld challenges by reason; those counted without one under no_reason.
    std::map<std::string, long> withheld_reasons() const {
        std::map<std::string, long> reasons;
        long stated = 0;
        const std::string prefix = history_field::withheld_prefix;
        for (const auto& [name, value] : counts) {
            if (name.rfind(prefix, 0) != 0 || value == 0) continue;
            reasons[name.substr(prefix.size())] += value;
            stated += value;
        }
        if (count(history_field::withheld) > stated) reasons[no_reason] = count(history_field::withheld) - stated;
        return reasons;
    }
};

int days_option(const parsed_arguments& arguments) {
    if (!arguments.has("--days")) return 7;
    const std::string text = arguments.value("--days");
    char* end = nullptr;
    errno = 0;
    long days = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || days < 1 ||
        days > 3660)
        throw usage_error("--days needs a number of days from 1 to 3660, not " + text);
    return static_cast<int>(days);
}

// The last `count` days in UTC, oldest first.
std::vector<day_figures> last_days(int count) {
    std::vector<day_figures> days;
    std::time_t now = std::time(nullptr);
    for (int back = count - 1; back >= 0; --back) {
        std::time_t then = now - static_cast<std::time_t>(back) * 86400;
        std::tm utc{};
        ::gmtime_r(&then, &utc);
        char text[16];
        std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
        days.push_back({text, 0, {}});
    }
    return days;
}

// The counts every day shows, in this order, by name.
const std::vector<const char*> shown_counts = {history_field::filtered, history_field::kept,    history_field::pending,
                                               history_field::deleted,  history_field::sent,    history_field::withheld,
                                               history_field::released, history_field::expired, history_field::failed};

void print_json(const std::vector<day_figures>& days) {
    std::cout << "{\"days\": [";
    for (size_t i = 0; i < days.size(); ++i) {
        const day_figures& day = days[i];
        std::cout << (i ? ",\n  " : "\n  ") << "{\"day\": " << json_string(day.day) << ", \"runs\": " << day.runs;
        for (const char* name : shown_counts) std::cout << ", " << json_string(name) << ": " << day.count(name);
        std::cout << ", \"withheld_by_reason\": {";
        bool first = true;
        for (const auto& [reason, count] : day.withheld_reasons()) {
            std::cout << (first ? "" : ", ") << json_string(reason) << ": " << count;
            first = false;
        }
        std::cout << "}}";
    }
    std::cout << "\n]}\n";
}

// One row a day within 80 columns: the filtered count with a bar scaled to the busiest day.
void print_table(const std::vector<day_figures>& days) {
    long busiest = 0;
    for (const day_figures& day : days) busiest = std::max(busiest, day.count(history_field::filtered));
    std::cout << "day (UTC) filtered" << std::string(longest_bar + 1, ' ')
              << "  kept pend.  del.  sent  held freed  exp.\n";
    for (const day_figures& day : days) {
        std::cout << day.day;
        if (day.runs == 0) {
            std::cout << "  (no run)\n";
            continue;
        }
        long filtered = day.count(history_field::filtered);
        size_t bar = busiest == 0 ? 0 : static_cast<size_t>((filtered * longest_bar + busiest - 1) / busiest);
        std::cout << std::setw(8) << filtered << " " << std::string(bar, '#') << std::string(longest_bar - bar, ' ');
        for (const char* name :
             {history_field::kept, history_field::pending, history_field::deleted, history_field::sent,
              history_field::withheld, history_field::released, history_field::expired})
            std::cout << std::setw(6) << day.count(name);
        std::cout << "\n";
    }
    std::cout << "pend. moved to the pending folder, del. deleted, held challenges withheld,\n"
                 "freed released to the inbox, exp. expired from the pending folder\n";
    bool heading = false;
    for (const day_figures& day : days) {
        for (const auto& [reason, count] : day.withheld_reasons()) {
            if (!heading) std::cout << "challenges withheld, by reason:\n";
            heading = true;
            std::cout << "  " << day.day << std::setw(6) << count << "  " << reason << "\n";
        }
    }
}

}  // namespace

int cmd_stats(const parsed_arguments& arguments) {
    int day_count = days_option(arguments);
    session_settings settings = read_session_settings(arguments);

    // Read only: no lock, as a run appends a whole line or replaces the history in one rename.
    std::optional<std::string> app_data = posix_files::app_data_folder(settings.data_home);
    if (!app_data) {
        std::cerr << "tarnwick: cannot find the filter's data folder: set HOME, or give --data-dir\n";
        return exit_failure;
    }
    std::string path = append_path_component(append_path_component(*app_data, data_folder_name), history_file_name);
    std::string text;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        std::optional<std::string> read = read_file(path);
        if (!read) {
            std::cerr << "tarnwick: cannot read " << path << ": " << std::strerror(errno) << "\n";
            return exit_failure;
        }
        text = std::move(*read);
    } else if (errno != ENOENT) {
        std::cerr << "tarnwick: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return exit_failure;
    }

    history_content content = parse_history(text);
    if (!content.bad_lines.empty())
        std::cerr << "tarnwick: " << content.bad_lines.size() << (content.bad_lines.size() == 1 ? " line" : " lines")
                  << " of " << path << " cannot be read and are left out\n";
    std::vector<day_figures> days = last_days(day_count);
    for (const history_entry& entry : content.entries) {
        std::string day = entry.time.substr(0, 10);
        for (day_figures& figures : days) {
            if (figures.day != day) continue;
            ++figures.runs;
            for (const auto& [name, count] : entry.counts) figures.counts[name] += count;
        }
    }
    if (arguments.has("--json")) print_json(days);
    else print_table(days);
    return exit_ok;
}
