// Storing one message that a mail system hands over on a file descriptor into a Maildir folder,
// the way delivery agents do: a unique name in tmp/, written and flushed, then renamed into new/
// (or where the filter puts it) and the folder flushed. The envelope goes into the header as Return-Path and
// Delivered-To.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The envelope of a delivery. An address that failed validation is kept out of the header and
// named in `refused`.
struct envelope {
    std::optional<std::string> sender;  // "" for the null sender; none when not known
    std::optional<std::string> recipient;
};

// The address `text` as an envelope address: "" for the null sender ("", "<>", or the bare
// "MAILER-DAEMON" with which procmail and maildrop name it), one pair of
// angle brackets taken off. None when it cannot be written into a header line: control
// characters (CR and LF among them), blanks, angle brackets inside, or longer than 900 bytes.
std::optional<std::string> envelope_address(std::string_view text);

// The header lines to write before a message whose first bytes are `head` (its header block, or
// as much of it as was read), each ending as the message's first line does (CRLF or LF):
// "Return-Path: <sender>", then "Delivered-To: recipient", each only when known, and the
// latter not when the delivery agent's own fields on top of `head` hold it already.
std::string delivery_header_lines(const envelope& sent, std::string_view head);

// `head` (a header block, or as much of it as was read) without its Return-Path fields, which
// the envelope's replaces: the sender of a message writes what he likes there. The body and a
// last line cut off are kept as they are.
std::string without_return_path(std::string_view head);

// The sender named by a leading mbox "From " line ("From sender date"), which marks where a
// message begins in a mailbox file and is no header field; none when `head` has no such line.
std::optional<std::string> postmark_sender(std::string_view head);

struct stored_message {
    std::string name;       // the file name in new/
    std::string temporary;  // where it is written first, in tmp/
    std::uint64_t size = 0;
};

// Reads the message from `in` until its end and writes it into the tmp/ folder of the Maildir
// folder `folder_dir`, flushed: the header lines for `sent` first, a leading mbox "From " line
// left out, with a known sender the message's own Return-Path fields left out, every other byte
// as read. Only as much is held in memory as the header block needs (64 KiB at most). None on
// failure, with `error` saying what failed; nothing is left in tmp/ then (a file may remain when
// the process dies meanwhile, as with any delivery agent).
std::optional<stored_message> write_message(int in, const std::string& folder_dir, envelope sent, std::string& error);

// Moves a message written by write_message from tmp/ into new/ and flushes the folder: it lasts
// a crash once this returns true. False, with `error`, when it could not be moved or flushed;
// then it is in tmp/ still, or nowhere.
bool publish_message(const std::string& folder_dir, const stored_message& stored, std::string& error);

// write_message, then publish_message: the message stored in new/ as delivery agents do. Nothing
// is left in new/ on failure.
std::optional<stored_message> store_message(int in, const std::string& folder_dir, envelope sent, std::string& error);
