// What judging by moving and the upkeep of a run need of the mailer the add-in calls: what the
// add-in did through it, and the challenges under way. The mailer (mailer/store_mailer.h) is one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "contract/mailer_host.h"
#include "policy/activity.h"
#include "policy/challenge_intent.h"

class mailer_record {
public:
    // The mailer itself, to hand the add-in.
    virtual IMailerHost* mailer() = 0;
    // What the add-in did through it.
    virtual const mailer_activity& activity() const = 0;
    // The moves of activity() not taken yet, which are then forgotten.
    virtual std::vector<mailer_activity::folder_move> take_moves() = 0;
    // What became of the challenge of the message whose id was `unique` (see
    // mailer_activity::challenges), which is then forgotten; none when nothing is known.
    virtual std::optional<std::string> take_challenge(const std::string& unique) = 0;
    // The arrival `deliver` stored in this process (its name); "" for none.
    virtual const std::string& delivered_file() const = 0;

    // Removes what this program left half-written in the store; what cannot be is noted.
    virtual void remove_leftovers() = 0;
    // What a run that ended early left under way: see store_mailer::challenges_left_under_way.
    virtual std::vector<challenge_intent> challenges_left_under_way() = 0;
    // Forgets the challenges of these messages: their senders are on the pending list.
    virtual void forget_challenges(const std::vector<std::string>& messages) = 0;
    // Counts and notes something the run's upkeep could not do (`note` says what).
    virtual void note_upkeep_failure(std::string note) = 0;

protected:
    ~mailer_record() = default;
};
