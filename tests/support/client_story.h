// The story a mail client plays with a new instance of the add-in, shared by the tests of the
// Linux module and of the Windows DLL.
#pragma once

#include <functional>

#include "contract/mailer_interface.h"
#include "support/memory_host.h"

// The module's exported DllGetClassObject and DllCanUnloadNow, however the test reached them.
using get_class_object_call = std::function<HRESULT(REFCLSID, REFIID, void**)>;
using can_unload_now_call = std::function<HRESULT()>;

// What a client meets at the class object: another class is not available, a null out pointer
// is refused, the class object is one, and an aggregating outer object is refused, each with
// the out pointer set to null. No instance is left over: the module may unload afterwards.
void check_class_object_refusals(const get_class_object_call& get_class_object,
                                 const can_unload_now_call& can_unload_now);

// The module may unload exactly while no instance lives and no server lock is held.
void check_unloading_follows_instances_and_locks(IClassFactory& classes, const can_unload_now_call& can_unload_now);

// SetMailer makes the pending folder; a new message from a stranger, passed through the virtual
// table, gets its sender a challenge; so does a second one passed through IDispatch::Invoke, by
// a member name looked up in any letter case; the pending list's size, read by dispatch id,
// counts both; Unload. Reports through gtest (wrap in ASSERT_NO_FATAL_FAILURE). The instance, the
// host's mailer and the messages are released on return; the add-in may still hold the mailer.
void play_client_story(com_ptr<IMailerInterfaceTest> instance, memory_host& host);
