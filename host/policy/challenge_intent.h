// The challenges under way. The add-in asks for a challenge before it parks the message and
// notes its sender as pending, so a run that ends between the two would leave the sender to be
// challenged again by the next run. Each challenge is therefore written down in the data folder,
// flushed to disk, before it is stored or sent, and forgotten once the add-in has saved its
// pending list after it. What a run that ended early left there is finished by the next one
// (unfinished_challenges.h): a challenge that went out has its sender put on the pending list,
// one that did not is forgotten, and its message, still new, is challenged when filtered again.
//
// The file holds one line per challenge, tab-separated: the message's unique name, the sender's
// address, the time it began, the challenge's unique name in the Outbox ("-" when it was handed
// to a command) and "begun" or "sent". Every field is percent-encoded, so that no value from a
// message can break a line. The file is replaced whole at each change: it holds only the few
// challenges of the message in hand, or those a run left.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* challenge_record_file_name = "challenges-under-way.tsv";

struct challenge_intent {
    std::string message;    // the unique part of the challenged message's file name
    std::string address;    // the sender's address, lower case (extract_email_address)
    long long time = 0;     // when the challenge began, seconds since 1970
    std::string challenge;  // the unique name of the challenge stored in the Outbox; "" when handed to a command
    bool sent = false;      // known to have gone out

    bool operator==(const challenge_intent&) const = default;
};

// The file's text for `entries`, and back; a line that cannot be read is counted in `bad_lines`
// and left out.
std::string format_challenge_record(const std::vector<challenge_intent>& entries);
std::vector<challenge_intent> parse_challenge_record(std::string_view text, int& bad_lines);

class challenge_record {
public:
    // The record kept at `path`, read now. A missing file is an empty record. problem() says
    // what was wrong with a file that could not be read or had lines that could not be.
    explicit challenge_record(std::string path);

    // False when the file is there but could not be read: no challenge may go out then, since
    // one may be under way.
    bool readable() const { return readable_; }
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }
    const std::vector<challenge_intent>& entries() const { return entries_; }

    // The entry of a challenge to `address` (lower case); null when there is none.
    const challenge_intent* find_address(const std::string& address) const;
    // Writes `intent` down and flushes the file and its folder to disk, before the challenge is
    // stored or sent. False, with `error` naming the file and the reason, when it could not be;
    // the record in memory is then unchanged.
    bool add(challenge_intent intent, std::string& error);
    // Forgets the entries of these messages, or notes them as sent, and rewrites the file
    // without flushing it: an entry that a crash brings back is settled again by the next run.
    // False, with `error`, when it could not be written; the record in memory is changed all
    // the same.
    bool forget(const std::vector<std::string>& messages, std::string& error);
    bool mark_sent(const std::vector<std::string>& messages, std::string& error);

private:
    bool write(bool durable, std::string& error);

    std::string path_;
    std::vector<challenge_intent> entries_;
    bool readable_ = true;
    std::string problem_;
};
