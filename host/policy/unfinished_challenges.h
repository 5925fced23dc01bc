// What a run that ended early left of its challenges, finished by the next one.
#pragma once

#include "common/addin_client.h"
#include "policy/mailer_record.h"

// At the start of a pass, once the add-in knows the host (SetMailer) and before new mail: what a
// process that ended early left half-written in tmp/ is removed, and each challenge it sent
// whose sender the add-in had not yet noted as pending has him put on the pending list, as the
// add-in would have, unless a list names him already (the user may have judged him since). His
// message is then parked without a second challenge when it is filtered again. What cannot be
// done is counted and noted in the host's activity, and tried again by the next run.
void finish_unfinished_challenges(addin_client& addin, mailer_record& host);
