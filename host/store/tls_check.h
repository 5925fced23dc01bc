// Checking a server's certificate chain after the TLS handshake, before any secret is sent: against
// the system's certificate authorities, or only those of one file, and for the host name dialled.
// libetpan does the handshake over GnuTLS but checks nothing itself.
#pragma once

#include <string>
#include <vector>

// The chain as DER blobs, the server's own certificate first. True when it is trusted for `host`;
// otherwise false with `error` saying why, for the user ("certificate not trusted (unknown
// authority) for mail.example.org"). `ca_file` is a PEM file of the only authorities to trust;
// empty: the system's.
bool check_certificate_chain(const std::vector<std::string>& chain_der, const std::string& host,
                             const std::string& ca_file, std::string& error);
