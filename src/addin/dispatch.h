// IDispatch for IMailerInterfaceTest, written by hand: names and dispatch ids come from a fixed
// table and calls are forwarded through the virtual table, so no type library is consulted at
// call time and the same code serves on every platform.
#pragma once

#include "contract/mailer_interface.h"

// Fills `ids` for `names` (compared without regard to case; properties also answer with the
// prefixes "get_" and "put_"). DISP_E_UNKNOWNNAME at the first unknown name, whose id and those
// after it are DISPID_UNKNOWN.
HRESULT mailer_interface_get_ids_of_names(LPOLESTR* names, UINT count, DISPID* ids);

// Calls the member `id` of `target` with the arguments of `params` (converted to the member's
// parameter types), and returns its out value in `result`. Errors: DISP_E_MEMBERNOTFOUND (an id
// that names no member), DISP_E_BADPARAMCOUNT (also for a kind of call the member lacks),
// DISP_E_NONAMEDARGS, DISP_E_TYPEMISMATCH (with the argument's position in `arg_error`); the
// member's own failure code fills `excepinfo` from the thread's error info.
HRESULT mailer_interface_invoke(IMailerInterfaceTest* target, DISPID id, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error);
