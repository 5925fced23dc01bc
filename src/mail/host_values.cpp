#include "mail/host_values.h"

namespace mail_detail {

void for_each_item(IEnumVARIANT& items, const std::function<void(const VARIANT&)>& visit) {
    for (;;) {
        variant_holder item;
        ULONG fetched = 0;
        if (items.Next(1, item.put(), &fetched) != S_OK) return;
        visit(*item);
    }
}

}  // namespace mail_detail
