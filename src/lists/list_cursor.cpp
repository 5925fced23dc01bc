#include "lists/list_cursor.h"

#include <cstddef>

namespace {

const address_set* list_at(const list_table& lists, int list_number) {
    if (list_number < 0 || list_number >= static_cast<int>(lists.size())) return nullptr;
    return lists[static_cast<std::size_t>(list_number)];
}

}  // namespace

std::string list_cursor::next(int list_number, long index, const list_table& lists) {
    if (list_at(lists, list_number) == nullptr) return {};
    if (index == 0) {
        list_ = list_number;
        const address_set& list = *list_at(lists, list_);
        near_ = list.begin();
        last_ = list.empty() ? std::nullopt : std::optional<std::string>(*near_);
        return last_.value_or(std::string());
    }
    const address_set* list = list_at(lists, list_);
    if (list == nullptr || !last_) return {};
    near_ = list->upper_bound(*last_, near_);
    if (near_ == list->end()) {
        last_.reset();
        return {};
    }
    last_->assign(*near_);  // in place: no new buffer an entry
    return *last_;
}
