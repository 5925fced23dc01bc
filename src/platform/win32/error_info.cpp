#include "platform/error_info.h"

#include <cstdio>

#include "platform/com.h"
#include "platform/com_error.h"
#include "platform/text.h"

void clear_thread_error_info() { SetErrorInfo(0, nullptr); }

void fill_excepinfo_from_thread(EXCEPINFO* info, HRESULT hr) {
    *info = EXCEPINFO{};
    info->scode = hr;
    com_ptr<IErrorInfo> error;
    if (GetErrorInfo(0, error.put()) == S_OK && error) {
        error->GetSource(&info->bstrSource);
        error->GetDescription(&info->bstrDescription);
        error->GetHelpFile(&info->bstrHelpFile);
        error->GetHelpContext(&info->dwHelpContext);
    }
    if (info->bstrDescription) return;
    char text[64];
    std::snprintf(text, sizeof text, "The call failed with 0x%08X.", static_cast<unsigned>(hr));
    try {
        info->bstrDescription = bstr_from_narrow(text);
    } catch (const com_error&) {
        // Out of memory: the caller still has the code.
    }
}
