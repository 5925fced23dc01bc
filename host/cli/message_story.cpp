#include "cli/message_story.h"

#include "store/maildir.h"

namespace {

// The reason the mailer noted for the challenge it withheld or failed to send, after `notes`.
std::string challenge_detail(const mailer_activity& activity, size_t notes, const std::string& kind) {
    for (size_t i = notes; i < activity.notes.size(); ++i) {
        const std::string& note = activity.notes[i];
        size_t at = note.find(" " + kind + ": ");
        if (note.rfind("challenge", 0) == 0 && at != std::string::npos) return note.substr(at + kind.size() + 3);
    }
    return "";
}

std::string challenge_of(const mailer_activity& activity, const std::string& id, size_t notes) {
    auto found = activity.challenges.find(id);
    if (found == activity.challenges.end()) return "none";
    const std::string& state = found->second;
    if (state.rfind("sent:", 0) == 0) return "sent to " + state.substr(5);
    std::string kind = state.rfind("withheld:", 0) == 0 ? "withheld" : "failed";
    std::string detail = challenge_detail(activity, notes, kind);
    if (detail.empty() && kind == "withheld") detail = state.substr(9);
    return detail.empty() ? kind : kind + ": " + detail;
}

}  // namespace

message_story::message_story(const judged_log& where, const std::string& name) : where_(where) {
    entry_.unique = std::string(maildir::unique_part(name));
}

void message_story::read(const header_summary& headers) {
    entry_.sender = headers.sender;
    entry_.subject = headers.subject;
    entry_.message_id = headers.headers.value("Message-ID").value_or("");
}

void message_story::left(const std::string& why) { write(decision_action::left_new, why + "; it stays new"); }

void message_story::judged(const mailer_activity& activity, const std::string& id, size_t notes,
                           const std::optional<std::string>& folder, bool usable, bool move_failed) {
    if (!folder) return;  // gone: another program took it
    std::string challenge = challenge_of(activity, id, notes);
    if (folder->empty() && move_failed)
        return write(decision_action::left_new, "the filter's move failed; the next run filters it again", challenge);
    if (folder->empty())
        return write(decision_action::kept, usable ? "the filter let it in (an authorized sender, or mail it "
                                                     "does not hold back)"
                                                   : "it has no usable sender");
    if (*folder == where_.pending) {
        std::string why = !usable                           ? "it has no usable sender"
                          : challenge.rfind("sent", 0) == 0 ? "an unknown sender: challenged"
                          : challenge != "none"             ? "an unknown sender"
                                                : "its sender already waits for an answer, or it is mail to "
                                                  "yourself";
        return write(decision_action::parked, why, challenge);
    }
    if (*folder == "Trash")
        return write(decision_action::deleted,
                     "its sender is on the remove or ignore list, or it answers or bounces a challenge", challenge);
    write(decision_action::moved, "the filter moved it to " + *folder, challenge);
}

void message_story::write(const char* action, std::string reason, std::string challenge) {
    if (!where_.log) return;
    entry_.time = decision_time_now();
    entry_.action = action;
    entry_.reason = std::move(reason);
    entry_.challenge = std::move(challenge);
    where_.log->write(entry_);
}
