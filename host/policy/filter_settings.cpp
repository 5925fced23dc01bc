#include "policy/filter_settings.h"

pending_settings pending_settings_of(const std::map<std::string, std::string>& settings) {
    pending_settings found;
    if (auto name = settings.find(pending_folder_key); name != settings.end())
        found.folder = setting_text(name->second);
    auto on = settings.find(auto_delete_blocked_key);
    auto days = settings.find(pending_expiry_days_key);
    if (on != settings.end() && on->second == "true" && days != settings.end()) {
        const std::string& text = days->second;
        if (!text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos)
            found.expiry_days = std::stoi(text);
    }
    return found;
}
