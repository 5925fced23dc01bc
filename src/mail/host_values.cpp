#include "mail/host_values.h"

#include <ostream>

#include "diag/debug_log.h"

namespace mail_detail {

void for_each_item(IEnumVARIANT& items, const std::function<void(const VARIANT&)>& visit) {
    for (;;) {
        variant_holder item;
        ULONG fetched = 0;
        if (items.Next(1, item.put(), &fetched) != S_OK) return;
        visit(*item);
    }
}

void log_missing_mailer(const char* operation) {
    debug_log() << "FAIL: " << operation << ", MAILER == NULL" << std::endl;
}

}  // namespace mail_detail
