#include "mail/mailer_host.h"

com_ptr<IMailerHost> g_mailer;
com_ptr<IMailerHost> g_savedMailer;
