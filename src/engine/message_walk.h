// Walking a host enumeration of messages. Internal to src/engine.
#pragma once

#include <memory>

#include "mail/email.h"
#include "platform/com.h"

namespace engine_detail {

// Reads `messages` one item per Next call until Next returns other than S_OK, and calls `visit`
// with a record of each item that holds a message object; other items are skipped. Each item
// and record is released after its visit, also when `visit` throws.
template <typename Visitor>
void for_each_message(IEnumVARIANT& messages, Visitor&& visit) {
    for (;;) {
        variant_holder item;
        ULONG fetched = 0;
        if (messages.Next(1, item.put(), &fetched) != S_OK) return;
        if (item->vt != VT_UNKNOWN || item->punkVal == nullptr) continue;
        if (std::unique_ptr<a_email> record = make_email(*item)) visit(*record);
    }
}

}  // namespace engine_detail
