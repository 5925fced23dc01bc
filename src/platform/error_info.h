// The calling thread's error information: the description that a failing automation member
// leaves for its caller. Windows keeps one per thread; elsewhere there is none, and callers get
// a generic description instead.
#pragma once

#include "com_types.h"

// Drops any error information left on the calling thread, so that a later failure is not
// described by an older one. Never fails.
void clear_thread_error_info();

// Overwrites `*info` (not null) for the failure `hr`: scode is hr; source, description, help file
// and help context come from the thread's error information, which is consumed; without it the
// description is a generic text naming the code. The strings belong to the caller, who frees
// them with SysFreeString; a string that cannot be allocated is left null.
void fill_excepinfo_from_thread(EXCEPINFO* info, HRESULT hr);
