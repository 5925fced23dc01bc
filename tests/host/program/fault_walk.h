// Walks a whole command through each of its file operations failing in turn (see
// write_fault_test.cpp for what every failing run must keep).
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "program_runner.h"

// The mail of a Maildir: each message's unique part to the places ("folder/subdir/name") it is
// in. The Outbox holds the challenges, which are counted apart.
using places_map = std::map<std::string, std::vector<std::string>>;

struct mailbox_state {
    places_map places;
    std::multiset<std::string> challenges;    // the To field of each stored challenge
    std::vector<std::string> leftovers;       // files in a tmp/ folder, or temporaries of the data folder
    std::map<std::string, std::string> data;  // data_files to their content; absent ones left out
};

// The mail and the data files of the copy in `base` (base/Maildir, base/data).
mailbox_state state_of(const std::string& base);

// Copies the tree `from` to `to`, with the modification times, which are the mail's arrival.
void copy_tree(const std::string& from, const std::string& to);

// A command tried with each of its file operations failing in turn.
struct scenario {
    std::string name;
    // Makes the start in `base` (base/Maildir, base/data), run once; the command then runs on copies.
    std::function<void(const std::string& base)> prepare;
    std::vector<std::string> args;  // "{dir}" stands for the copy's folder
    // A failing operation whose failure the command rightly lets pass: it must then end as the
    // run without faults does, at once and with exit status 0. Gives why, or "" when not.
    std::function<std::string(const traced_step&)> tolerated;
    // A failure after which the next run cannot finish everything: why a challenge stored by
    // the run without faults may be missing; "" when none may. Empty when none.
    std::function<std::string(const traced_step&)> unfinished;
    // Why the message `unique` may end in `place` after the next run, when the run without
    // faults put it elsewhere; "" when it may not. Empty when no message may.
    std::function<std::string(const traced_step&, const std::string& unique, const std::string& place,
                              const std::string& expected_place)>
        elsewhere;
    // The share of the operations this walk fails: every `parts`-th from the `part`-th, so that a
    // long walk can be split over tests that run side by side.
    size_t part = 0, parts = 1;
};

// Runs `s` without faults, counting its file operations, then once with each one failing, on a
// fresh copy of the start each time; fails the running test for every promise a run breaks.
void walk_every_fault(const scenario& s);
