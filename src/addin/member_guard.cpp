#include "addin/member_guard.h"

#include <exception>
#include <new>
#include <string_view>

#include "config/configuration.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "platform/text.h"

namespace member_guard {

HRESULT report_failure(const char* member) noexcept {
    HRESULT code = E_FAIL;
    const char* what = "unknown";
    try {
        throw;
    } catch (const std::bad_alloc&) {
        code = E_OUTOFMEMORY;
        what = "out of memory";
    } catch (const com_error& error) {
        if (FAILED(error.code())) code = error.code();
        what = error.what();
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    try {
        debug_log() << member << ": exception " << what << std::endl;
    } catch (...) {
    }
    return code;
}

ostrel& engine() {
    ostrel* object = get_ostrel_Object();
    if (!object) throw com_error(E_UNEXPECTED);
    return *object;
}

a_configuration& settings() {
    a_configuration* store = engine().configuration();
    if (!store) throw com_error(E_UNEXPECTED);
    return *store;
}

std::optional<std::string> exact_narrow(BSTR text) {
    if (!text) return std::string();
    using wide_view = std::basic_string_view<OLECHAR>;
    const wide_view wide(text, SysStringLen(text));
    if (wide.find(OLECHAR{0}) != wide_view::npos) return std::nullopt;
    std::string narrow = narrow_from_bstr(text);
    bstr_holder back(bstr_from_narrow(narrow));
    if (wide_view(back.get(), SysStringLen(back.get())) != wide) return std::nullopt;
    return narrow;
}

}  // namespace member_guard
