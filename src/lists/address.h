// Normalisation of e-mail addresses: every list lookup and insertion goes through
// extract_email_address, so that a sender header value and a stored entry compare equal.
#pragma once

#include <string>

// extract_email_address: the add-in's rule, which hosts may call too.
#include "contract/sender_address.h"

// The text after the first "@" of `address`; "" when it has no "@".
std::string domain_of(const std::string& address);
