// The real COM and OLE Automation declarations of Windows.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <oaidl.h>
#include <ocidl.h>
