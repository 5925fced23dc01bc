// Small helpers of the mail model for passing values to the host and reading what it gives back.
// Internal to src/mail.
#pragma once

#include <functional>

#include "mail/mailer_host.h"

namespace mail_detail {

// A VT_UNKNOWN VARIANT that views `object` without a reference of its own, for passing by value
// to a host method (the callee takes no reference, the caller keeps `object` alive).
inline VARIANT unknown_variant(IUnknown* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = object;
    return v;
}

// The current mailer, held for the length of one operation so that a host which empties
// g_mailer while it is being called (by re-entering the add-in) is not released under us.
inline com_ptr<IMailerHost> current_mailer() { return g_mailer; }

// Reads `items` one item per Next call until Next returns other than S_OK, handing each item
// to `visit`; every item is cleared after its visit, also when `visit` throws.
void for_each_item(IEnumVARIANT& items, const std::function<void(const VARIANT&)>& visit);

// Logs "FAIL: <operation>, MAILER == NULL": the operation is skipped for want of a mailer.
void log_missing_mailer(const char* operation);

}  // namespace mail_detail
