// Word splitting shared by address normalisation and the list files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "contract/words.h"

namespace lists_detail {

// The add-in's word rule, which its address rule shares.
using contract_words::for_each_word;
using contract_words::is_blank;

// The words of a text that comes in pieces (a file read a block at a time), each handed to
// `visit` once whole: a word that a piece ends in is carried over to the next piece. Words inside
// a piece are handed over as views into it.
template <typename Visitor>
class piecewise_words {
public:
    explicit piecewise_words(Visitor visit) : visit_(std::move(visit)) {}

    void feed(std::string_view piece) {
        std::size_t start = 0;
        if (!carry_.empty()) {
            while (start < piece.size() && !is_blank(static_cast<unsigned char>(piece[start]))) ++start;
            carry_.append(piece.data(), start);
            if (start == piece.size()) return;
            visit_(std::string_view(carry_));
            carry_.clear();
        }
        std::size_t tail = piece.size();
        while (tail > start && !is_blank(static_cast<unsigned char>(piece[tail - 1]))) --tail;
        for_each_word(piece.substr(start, tail - start), [this](std::string_view word) {
            visit_(word);
            return true;
        });
        carry_.assign(piece.data() + tail, piece.size() - tail);
    }

    // The text has ended: a word it ended in is whole.
    void finish() {
        if (!carry_.empty()) visit_(std::string_view(carry_));
        carry_.clear();
    }

private:
    Visitor visit_;
    std::string carry_;
};

// The non-empty lines of a text that comes in pieces, each handed to `visit` once whole: split
// at LF, the CR of a CR LF line end dropped; a last line without a line end keeps a final CR.
template <typename Visitor>
class piecewise_lines {
public:
    explicit piecewise_lines(Visitor visit) : visit_(std::move(visit)) {}

    void feed(std::string_view piece) {
        while (!piece.empty()) {
            const std::size_t end = piece.find('\n');
            if (end == std::string_view::npos) {
                carry_.append(piece);
                return;
            }
            if (carry_.empty()) {
                ended(piece.substr(0, end));
            } else {
                carry_.append(piece.substr(0, end));
                ended(carry_);
                carry_.clear();
            }
            piece.remove_prefix(end + 1);
        }
    }

    void finish() {
        if (!carry_.empty()) visit_(std::string_view(carry_));
        carry_.clear();
    }

private:
    void ended(std::string_view line) {
        // Files written on Windows end their lines in CR LF; the CR is part of the line break.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) visit_(line);
    }

    Visitor visit_;
    std::string carry_;
};

}  // namespace lists_detail
