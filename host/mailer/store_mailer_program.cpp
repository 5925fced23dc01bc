// What the program that drives the add-in asks of the mailer: the message objects it hands the
// add-in, what the add-in did, the challenge budget and the challenges under way.
#include <memory>
#include <utility>

#include "contract/sender_address.h"
#include "mailer/mailer_message.h"
#include "mailer/mailer_state.h"
#include "mailer/store_mailer.h"
#include "platform/text.h"

using namespace mailer_detail;

mail_store& store_mailer::store() const { return *state_->store; }

com_ptr<IUnknown> store_mailer::object_for(const message_ref& message) {
    return com_ptr<IUnknown>::attach(new message_object(state_, message));
}

const mailer_activity& store_mailer::activity() const { return state_->activity; }

std::vector<mailer_activity::folder_move> store_mailer::take_moves() {
    return std::exchange(state_->activity.moves, {});
}

std::optional<std::string> store_mailer::take_challenge(const std::string& unique) {
    auto found = state_->activity.challenges.find(unique);
    if (found == state_->activity.challenges.end()) return std::nullopt;
    std::string challenge = std::move(found->second);
    state_->activity.challenges.erase(found);
    return challenge;
}

bool store_mailer::save_budget() {
    std::string error;
    if (!state_->budget || state_->budget->save(error)) return true;
    ++state_->activity.budget_not_saved;
    state_->activity.notes.push_back(error);
    return false;
}

std::string store_mailer::budget_problem() const { return state_->budget ? state_->budget->problem() : ""; }

std::vector<challenge_intent> store_mailer::challenges_left_under_way() {
    std::vector<challenge_intent> sent;
    challenge_record* record = state_->under_way.get();
    if (!record || !record->readable()) return sent;
    std::vector<std::string> not_sent;
    for (challenge_intent entry : record->entries()) {
        if (!entry.sent && !entry.challenge.empty()) {
            // A challenge counts as sent once it is in the Outbox, where the user's mail client or
            // a sending program takes it from; its half-written file is removed with the others.
            entry.sent = state_->store->holds(outbox_folder, entry.challenge);
        } else if (!entry.sent) {
            // Handed to the command when the run ended: whether the command took it cannot be
            // known, and a challenge too many is what this record is there to prevent.
            entry.sent = true;
            state_->activity.notes.push_back(
                "a challenge to " + one_line(entry.address) +
                " was being handed to the sending command when a run ended; taken as sent");
        }
        if (!entry.sent) {
            not_sent.push_back(entry.message);
            continue;
        }
        state_->activity.challenges[entry.message] = "sent:" + entry.address;
        sent.push_back(std::move(entry));
    }
    forget_challenges(not_sent);
    return sent;
}

void store_mailer::forget_challenges(const std::vector<std::string>& messages) {
    std::string error;
    if (state_->under_way && !state_->under_way->forget(messages, error)) note_upkeep_failure(error);
}

void store_mailer::settle_challenges(bool lists_saved) {
    std::vector<std::string> begun = std::exchange(state_->challenges_begun, {});
    if (!state_->under_way || begun.empty()) return;
    std::string error;
    if (!(lists_saved ? state_->under_way->forget(begun, error) : state_->under_way->mark_sent(begun, error)))
        note_upkeep_failure(error);
}

void store_mailer::remove_leftovers() {
    for (const std::string& failure : state_->store->remove_leftovers())
        note_upkeep_failure("cannot remove the half-written file " + failure);
}

std::string store_mailer::challenge_record_problem() const {
    return state_->under_way ? state_->under_way->problem() : "";
}

void store_mailer::note_upkeep_failure(std::string note) {
    ++state_->activity.upkeep_failed;
    state_->activity.notes.push_back(std::move(note));
}

const std::string& store_mailer::account() const { return state_->store->account(); }
const std::string& store_mailer::delivered_file() const { return state_->options.delivered_file; }

std::string store_mailer::outbox_place() const { return state_->store->place_of(outbox_folder); }

long mailer_live_objects() { return live_objects.live(); }

bool usable_sender(const header_summary& headers) { return !extract_email_address(headers.sender).empty(); }
