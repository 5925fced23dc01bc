// The email record: the engine's view of one message of the host, reached through g_mailer.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <string>

#include "platform/com.h"

// One message. Operations are in the order the engine's virtual table has always had.
// Operations that reach the host with no current mailer write "FAIL: <operation>, MAILER == NULL"
// to the debug log and do nothing else (the result each gives then is stated below).
class a_email {
public:
    virtual ~a_email() = default;

    // Always "".
    virtual std::string get_extra_text() const = 0;
    // The sender as the host gave it.
    virtual std::string get_sender() const = 0;
    // The sender from its first "@" to the end, the "@" included; "" when it has none.
    virtual std::string get_sender_domain() const = 0;
    // The receiver as the host gave it.
    virtual std::string get_receiver() const = 0;
    // Always "".
    virtual std::string get_extra_text2() const = 0;
    // Always "".
    virtual std::string get_extra_text3() const = 0;
    // The subject.
    virtual std::string get_subject() const = 0;
    // The body, asked of the host until it gives a non-empty one; "<empty>" for good once the
    // host fails. Without a mailer: the body as far as known, asked again later.
    virtual std::string get_body() = 0;
    // Always "".
    virtual std::string get_extra_text4() const = 0;
    // The host's first message time truncated toward zero; 0 when the host gives none or no
    // mailer is set, and the nearest limit when it does not fit.
    virtual std::int64_t get_time_value() = 0;
    // The same for the host's second message time.
    virtual std::int64_t get_time_value2() = 0;
    // True when the host reports the message as read; false when it does not answer or no
    // mailer is set.
    virtual bool is_already_read() = 0;
    // The host's HRESULT of marking the message read; E_FAIL without a mailer.
    virtual HRESULT mark_as_read() = 0;
    // The host's HRESULT of marking the message unread; E_FAIL without a mailer.
    virtual HRESULT mark_as_unread() = 0;
    // Inserts the message's non-empty attachment names into `names`; nothing when the host fails.
    virtual void get_attachment_names(std::set<std::string>& names) = 0;
    // Has the host delete the message; logs "ggg" when the host fails.
    virtual void delete_email() = 0;
    // Has the host reply to the sender with `subject` and `body`.
    // Throws com_error(E_OUTOFMEMORY) when the texts cannot be converted.
    virtual void a_reply(std::string subject, std::string body) = 0;
};

// The record over a host message. Holds one reference on the message for its whole life.
class c_email final : public a_email {
public:
    // Takes a copy of `message` (a VT_UNKNOWN VARIANT). Throws com_error with the HRESULT of a
    // failed copy.
    c_email(std::string sender, std::string receiver, std::string subject, const VARIANT& message);
    c_email(const c_email&) = delete;
    c_email& operator=(const c_email&) = delete;

    std::string get_extra_text() const override;
    std::string get_sender() const override;
    std::string get_sender_domain() const override;
    std::string get_receiver() const override;
    std::string get_extra_text2() const override;
    std::string get_extra_text3() const override;
    std::string get_subject() const override;
    std::string get_body() override;
    std::string get_extra_text4() const override;
    std::int64_t get_time_value() override;
    std::int64_t get_time_value2() override;
    bool is_already_read() override;
    HRESULT mark_as_read() override;
    HRESULT mark_as_unread() override;
    void get_attachment_names(std::set<std::string>& names) override;
    void delete_email() override;
    void a_reply(std::string subject, std::string body) override;

    // The host message (VT_UNKNOWN), valid while the record lives; the folders pass it on.
    const VARIANT& message() const { return *message_; }

private:
    std::string sender_;
    std::string receiver_;
    std::string subject_;
    std::string extra_text4_;
    std::string body_;
    std::string extra_text2_;
    std::string extra_text3_;
    variant_holder message_;
};

// A new record of the host message in `message`, owned by the caller; null when `message` is
// not a VT_UNKNOWN with a non-null pointer, or (logged "FAIL: make_email, MAILER == NULL") when
// no mailer is set. Reads sender, receiver and subject in one host call; a failed read leaves
// them empty. Throws com_error(E_OUTOFMEMORY) when a text cannot be converted, or the HRESULT
// of a failed copy of `message`.
std::unique_ptr<a_email> make_email(const VARIANT& message);

// Writes the record's block (sender, subject, body, attachment names, read state) in one piece;
// fetches the body when it is not yet known. Returns `out`.
std::ostream& operator<<(std::ostream& out, a_email& email);
