#include "mail/email.h"

#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

#include "diag/debug_log.h"
#include "mail/host_values.h"
#include "mail/mailer_host.h"
#include "platform/text.h"

using mail_detail::current_mailer;
using mail_detail::log_missing_mailer;

namespace {

// Truncates toward zero; a time that is not a number, or out of range, must not become
// undefined behaviour.
std::int64_t whole_seconds(double value) {
    if (std::isnan(value)) return 0;
    constexpr double limit = 9223372036854774784.0;  // the largest double below 2^63
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

using time_getter = HRESULT (STDMETHODCALLTYPE IMailerHost::*)(VARIANT, double*);

std::int64_t read_time(const VARIANT& message, time_getter getter, const char* operation) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer(operation);
        return 0;
    }
    double time = 0.0;
    (mailer.get()->*getter)(message, &time);  // a failed call leaves 0
    return whole_seconds(time);
}

}  // namespace

c_email::c_email(std::string sender, std::string receiver, std::string subject, const VARIANT& message)
    : sender_(std::move(sender)), receiver_(std::move(receiver)), subject_(std::move(subject)) {
    // Some Windows headers declare the source non-const; it is only read.
    throw_if_failed(VariantCopy(message_.get(), const_cast<VARIANT*>(&message)));
}

std::string c_email::get_extra_text() const { return ""; }
std::string c_email::get_sender() const { return sender_; }

std::string c_email::get_sender_domain() const {
    size_t at = sender_.find('@');
    return at == std::string::npos ? std::string() : sender_.substr(at);
}

std::string c_email::get_receiver() const { return receiver_; }
std::string c_email::get_extra_text2() const { return extra_text2_; }
std::string c_email::get_extra_text3() const { return extra_text3_; }
std::string c_email::get_subject() const { return subject_; }

std::string c_email::get_body() {
    if (!body_.empty()) return body_;
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("get_body");
        return body_;
    }
    try {
        // The out value starts null: an [out] BSTR is overwritten by the host, never freed.
        bstr_holder body;
        throw_if_failed(mailer->get_message_body(*message_, body.put()));
        body_ = narrow_from_bstr(body.get());
    } catch (const std::exception&) {
        body_ = "<empty>";
    }
    return body_;
}

std::string c_email::get_extra_text4() const { return extra_text4_; }

std::int64_t c_email::get_time_value() {
    return read_time(*message_, &IMailerHost::get_message_time, "get_time_value");
}

std::int64_t c_email::get_time_value2() {
    return read_time(*message_, &IMailerHost::get_message_time2, "get_time_value2");
}

bool c_email::is_already_read() {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("is_already_read");
        return false;
    }
    // Starts as "unread", so that a host which fails without answering reads as unread.
    VARIANT_BOOL unread = VARIANT_TRUE;
    mailer->get_unread(*message_, &unread);
    return unread == 0;
}

HRESULT c_email::mark_as_read() {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("mark_as_read");
        return E_FAIL;
    }
    return mailer->put_unread(*message_, VARIANT_FALSE);
}

HRESULT c_email::mark_as_unread() {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("mark_as_unread");
        return E_FAIL;
    }
    return mailer->put_unread(*message_, VARIANT_TRUE);
}

void c_email::get_attachment_names(std::set<std::string>& names) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("get_attachment_names");
        return;
    }
    com_ptr<IEnumVARIANT> items;
    if (FAILED(mailer->enum_attachment_names(*message_, items.put())) || !items) return;
    mail_detail::for_each_item(*items.get(), [&](const VARIANT& item) {
        if (item.vt == VT_BSTR && SysStringLen(item.bstrVal) > 0) names.insert(narrow_from_bstr(item.bstrVal));
    });
}

void c_email::delete_email() {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("delete_email");
        return;
    }
    // A module inside another program must not write to that program's output.
    if (FAILED(mailer->delete_message(*message_))) debug_log() << "ggg" << std::endl;
}

void c_email::a_reply(std::string subject, std::string body) {
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("a_reply");
        return;
    }
    bstr_holder subject_text(bstr_from_narrow(subject));
    bstr_holder body_text(bstr_from_narrow(body));
    mailer->reply_to_message(message_->punkVal, subject_text.get(), body_text.get());
}

std::unique_ptr<a_email> make_email(const VARIANT& message) {
    if (message.vt != VT_UNKNOWN || !message.punkVal) return nullptr;
    com_ptr<IMailerHost> mailer = current_mailer();
    if (!mailer) {
        log_missing_mailer("make_email");
        return nullptr;
    }
    bstr_holder sender, receiver, subject, extra;
    mailer->get_message_headers(message.punkVal, sender.put(), receiver.put(), subject.put(), extra.put());
    return std::make_unique<c_email>(narrow_from_bstr(sender.get()), narrow_from_bstr(receiver.get()),
                                     narrow_from_bstr(subject.get()), message);
}

std::ostream& operator<<(std::ostream& out, a_email& email) {
    std::string block = "\n\n==================================================>\n\nemail info : ";
    block += "\nFrom: " + email.get_sender();
    block += "\nSubject " + email.get_subject();
    block += "\nMessage \n" + email.get_body();
    block += "\nAll attachment names\n";
    std::set<std::string> names;
    email.get_attachment_names(names);
    for (const std::string& name : names) block += name + "\n";
    block += "\nAlready Read = ";
    block += email.is_already_read() ? "yes" : "no";
    block += "\n===============\n\n";
    return out << block;
}
