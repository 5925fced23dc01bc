// Conversion between automation strings and the system's narrow text. Narrow text is the
// host's ANSI code page on Windows and UTF-8 elsewhere. Invalid input never crashes: bytes or
// code units that cannot be converted become a replacement character.
#pragma once

#include <string>
#include <string_view>

#include "com_types.h"

// Narrow text of the first `length` characters of `text`; null gives "".
std::string narrow_from_wide(const OLECHAR* text, size_t length);
// Narrow text of a BSTR; a null BSTR is the empty text.
std::string narrow_from_bstr(BSTR text);
// A new BSTR (caller frees it with SysFreeString) holding `text`; never null.
// Throws com_error(E_OUTOFMEMORY) when it cannot be allocated.
BSTR bstr_from_narrow(std::string_view text);
