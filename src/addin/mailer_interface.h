// The add-in's automation interface belongs to the contract it shares with its hosts.
#pragma once

#include "contract/mailer_interface.h"
