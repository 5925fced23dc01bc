// How the add-in splits a text into words: its address rule takes the first word that holds an
// address, and its list files hold one address a word.
#pragma once

#include <cstddef>
#include <string_view>

namespace contract_words {

// Space, TAB, LF, VT, FF and CR: the blanks of the "C" locale, whatever locale the host process
// has set.
inline bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Calls `visit` with each non-empty run of non-blank bytes of `text`, in order, until it
// returns false. The views point into `text`.
template <typename Visitor>
void for_each_word(std::string_view text, Visitor&& visit) {
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(static_cast<unsigned char>(text[i]))) ++i;
        if (i == text.size()) return;
        std::size_t start = i;
        while (i < text.size() && !is_blank(static_cast<unsigned char>(text[i]))) ++i;
        if (!visit(text.substr(start, i - start))) return;
    }
}

}  // namespace contract_words
