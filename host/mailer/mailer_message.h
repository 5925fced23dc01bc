// A message of the mailer as the add-in holds it: a COM object over the store's handle of the
// message, with what the mailer's rules add (what the add-in is told, the moves counted, the
// challenge gate). Private to the mailer.
#pragma once

#include <optional>
#include <string>

#include "common/mime.h"
#include "mailer/mailer_state.h"
#include "platform/com_object.h"
#include "policy/reply.h"
#include "store/mail_store.h"

namespace mailer_detail {

// Asked of an object handed back by the add-in, this private id gives the object itself, so
// that a foreign object can never be taken for one of ours.
// {6F1C5A52-2C7E-4D8B-9A0B-3E4F51A2C002}
inline constexpr IID IID_mailer_message = {
    0x6F1C5A52, 0x2C7E, 0x4D8B, {0x9A, 0x0B, 0x3E, 0x4F, 0x51, 0xA2, 0xC0, 0x02}};

class message_object final : public com_object<implements<IUnknown, IID_mailer_message>> {
public:
    message_object(state_ptr owner, message_ref message);

    const state_ptr& owner() const { return owner_; }
    message_handle& message() const { return *message_; }

    // Sets the read state (message_handle::set_seen). A change the store refuses is counted and
    // noted: the add-in goes on without it.
    HRESULT put_seen(bool want_seen);
    // Moves the message into `folder`. A move the store refuses is counted and noted, so that
    // the run can say what it could not do; a message that vanished meanwhile is another
    // client's doing, not a failure.
    HRESULT move_into(const std::string& folder);

    // The header fields, read once; null when the message is gone or cannot be read.
    const header_summary* headers() { return message_->headers(); }
    // Body and attachment names, read once; null when the message is gone or cannot be read. A
    // message larger than the mailer's max_message_size gives neither: its body is not read.
    // After take_body, the body in it is empty.
    const message_content* content();
    // The body of content(), handed over: the add-in keeps what it is given, and a large body
    // held here as well would cost twice. Asked again, it is read again; none as for content().
    std::optional<std::string> take_body();
    // True when the message is larger than the mailer's max_message_size.
    bool beyond_size_limit();
    // The user's addresses as they concern this message: the own addresses, and the envelope
    // recipient when it is the message `deliver` just stored.
    user_addresses user() const;
    // The receiver the add-in is told of, from `headers`: see get_message_headers in store_mailer.h.
    std::string receiver(const header_summary& headers) const;
    // Why the add-in parks this message without a challenge, as it tells them apart: "no sender"
    // (no address in it) or "mail to oneself" (the sender is the receiver); "" otherwise.
    std::string unchallenged_reason();

    // Answers the sender with `subject` and `body`: stored in the Outbox folder, or handed to the
    // mailer's command. E_ABORT when the message must not be answered automatically, when trusted
    // servers are set and none authenticated its sender, or when the challenge budget is spent
    // (see store_mailer_options). Counted and, unless sent, noted.
    HRESULT reply(const std::string& subject, const std::string& body);

private:
    state_ptr owner_;
    message_ref message_;
    std::optional<message_content> content_;
    bool body_taken_ = false;  // content_'s body was handed over by take_body
};

// One of `owner`'s message objects behind `object`, with a reference the caller then owns;
// empty for anything else.
inline com_ptr<message_object> message_from(IUnknown* object, const state_ptr& owner) {
    return own_object<message_object>(object, IID_mailer_message, owner);
}
inline com_ptr<message_object> message_from(const VARIANT& value, const state_ptr& owner) {
    return own_object<message_object>(value, IID_mailer_message, owner);
}

}  // namespace mailer_detail
