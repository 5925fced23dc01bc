// Narrow text is UTF-8 here; automation strings are UTF-16.
#include "platform/text.h"

#include <limits>

#include "platform/com_error.h"

namespace {
constexpr char32_t replacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[i], advancing i; malformed input gives U+FFFD and
// consumes one byte, so decoding always moves on and never reads past the end.
char32_t next_code_point(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
    if (extra == 0 || text.size() - i <= extra) {
        ++i;
        return replacement;
    }
    char32_t c = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return replacement;
        }
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < minimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return replacement;
    }
    i += extra + 1;
    return c;
}
}  // namespace

std::string narrow_from_wide(const OLECHAR* text, size_t length) {
    std::string out;
    if (!text) return out;
    // ASCII, as addresses mostly are, is copied unit for byte without encoding each.
    size_t i = 0;
    out.resize(length);
    for (; i < length && text[i] < 0x80; ++i) out[i] = static_cast<char>(text[i]);
    if (i == length) return out;
    out.resize(i);
    out.reserve(length);
    for (; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = replacement;  // a lone surrogate
        }
        append_utf8(out, c);
    }
    return out;
}

std::string narrow_from_bstr(BSTR text) { return text ? narrow_from_wide(text, SysStringLen(text)) : std::string(); }

BSTR bstr_from_narrow(std::string_view text) {
    bool ascii = text.size() <= std::numeric_limits<UINT>::max();
    for (size_t i = 0; ascii && i < text.size(); ++i) ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) {
        // Each byte is its own UTF-16 unit: written straight into the string.
        BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
        if (!result) throw com_error(E_OUTOFMEMORY);
        for (size_t i = 0; i < text.size(); ++i) result[i] = static_cast<OLECHAR>(text[i]);
        return result;
    }
    std::u16string wide;
    wide.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = next_code_point(text, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            wide += static_cast<char16_t>(0xD800 + (c >> 10));
            wide += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide += static_cast<char16_t>(c);
        }
    }
    BSTR result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!result) throw com_error(E_OUTOFMEMORY);
    return result;
}
