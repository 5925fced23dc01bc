#include "platform/text.h"

#include <windows.h>

#include "platform/com_error.h"

std::string narrow_from_wide(const OLECHAR* text, size_t length) {
    if (!text || length == 0) return {};
    int wide_length = static_cast<int>(length);
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, wide_length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string result(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, wide_length, result.data(), n, nullptr, nullptr);
    return result;
}

std::string narrow_from_bstr(BSTR text) { return text ? narrow_from_wide(text, SysStringLen(text)) : std::string(); }

BSTR bstr_from_narrow(std::string_view text) {
    int n = text.empty()
                ? 0
                : MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(n));
    if (!result) throw com_error(E_OUTOFMEMORY);
    if (n > 0) MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), result, n);
    return result;
}
