#include "policy/filter_settings.h"

#include <algorithm>
#include <climits>
#include <string_view>

pending_settings pending_settings_of(const std::map<std::string, std::string>& settings) {
    pending_settings found;
    if (auto name = settings.find(pending_folder_key); name != settings.end())
        found.folder = setting_text(name->second);
    auto on = settings.find(auto_delete_blocked_key);
    auto days = settings.find(pending_expiry_days_key);
    if (on == settings.end() || on->second != "true") return found;
    // The add-in passes the days even when the key is missing (atoi of nothing is 0), and the
    // mailer refuses a negative count: such mail never expires.
    long long value = 0;
    std::string_view text = days == settings.end() ? std::string_view() : std::string_view(days->second);
    size_t at = text.find_first_not_of(" \t\n\v\f\r");
    text.remove_prefix(at == std::string_view::npos ? text.size() : at);
    bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), INT_MAX + 1LL);
    if (!negative) found.expiry_days = static_cast<int>(std::min<long long>(value, INT_MAX));
    else if (value == 0) found.expiry_days = 0;
    return found;
}

std::optional<long long> expiry_time(const pending_settings& settings, long long arrived) {
    if (settings.expiry_days < 0) return std::nullopt;
    return arrived + static_cast<long long>(settings.expiry_days) * 86400;
}
