// What the members of the add-in object share: the guard that keeps exceptions from the client,
// and the ways to the engine and its settings.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/com.h"

class a_configuration;
class ostrel;

namespace member_guard {

// Called from a catch handler: logs "<member>: exception <what>" and gives the code the client
// sees. Never throws, so that nothing escapes an automation call from here.
HRESULT report_failure(const char* member) noexcept;

// Runs `body` (which returns an HRESULT); a failure raised inside becomes a log line and a code.
template <class Body>
HRESULT guarded(const char* member, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return report_failure(member);
    }
}

// The engine of the process; throws com_error(E_UNEXPECTED) when there is none.
ostrel& engine();
// The engine's configuration; throws com_error(E_UNEXPECTED) when there is none.
a_configuration& settings();

// The narrow text of a client's string, when it is exactly that string: none when it holds a NUL
// (readers that stop there would see another text than the one kept) or a character that narrow
// text cannot hold (a lone surrogate; on Windows, one outside the code page), which would be kept
// as a replacement character.
std::optional<std::string> exact_narrow(BSTR text);

}  // namespace member_guard
