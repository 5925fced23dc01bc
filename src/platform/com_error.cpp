#include "platform/com_error.h"

const char* com_error::what() const noexcept { return "automation error"; }

void throw_if_failed(HRESULT hr) {
    if (FAILED(hr)) throw com_error(hr);
}
