// The process-wide references to the host mail client's mailer object, through which every call
// of the mail model reaches the host.
#pragma once

#include "contract/mailer_host.h"
#include "platform/com.h"

// The current mailer: every host call of the mail model goes through it. Empty until the add-in
// adopts a host's mailer; released at process exit.
extern com_ptr<IMailerHost> g_mailer;
// The mailer most recently adopted by SetMailer; copied into g_mailer before a user verdict.
extern com_ptr<IMailerHost> g_savedMailer;
