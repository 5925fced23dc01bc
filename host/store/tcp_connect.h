// A TCP connection to a mail server that gives up after a timeout: the client library's own connect
// waits for the greeting without one.
#pragma once

#include <cstdint>
#include <string>

// A connected, blocking socket to `host` (a name or an address) and `port`, trying each address
// the name has; the caller closes it. -1 with `error` saying why ("connection refused",
// "timed out after 60 s", "host not found") when none answers within `timeout_seconds` each.
int connect_with_timeout(const std::string& host, std::uint16_t port, int timeout_seconds, std::string& error);
