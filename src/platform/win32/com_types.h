// The real COM and OLE Automation declarations of Windows.
#pragma once

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
