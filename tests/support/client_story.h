// The story a mail client plays with a new instance of the add-in, shared by the tests of the
// Linux module and of the Windows DLL.
#pragma once

#include "addin/mailer_interface.h"
#include "support/memory_host.h"

// SetMailer makes the pending folder; a new message from a stranger, passed through the virtual
// table, gets its sender a challenge; so does a second one passed through IDispatch::Invoke, by
// a member name looked up in any letter case; the pending list's size, read by dispatch id,
// counts both; Unload. Reports through gtest (wrap in ASSERT_NO_FATAL_FAILURE). The instance, the
// host's mailer and the messages are released on return; the add-in may still hold the mailer.
void play_client_story(com_ptr<IMailerInterfaceTest> instance, memory_host& host);
