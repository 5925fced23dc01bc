// Certificates for the tests' mail servers, made at test time with openssl: a private authority,
// a server certificate it signs for 127.0.0.1, ::1 and localhost, and a second, unrelated
// authority for the refusals.
#pragma once

#include <string>

struct test_ca {
    std::string ca_file;        // the authority's certificate, PEM
    std::string other_ca_file;  // an authority that signed nothing here, PEM
    std::string server_cert;    // the server's certificate, PEM
    std::string server_der;     // the same, DER
    std::string server_key;     // its key, PEM, unencrypted
};

// Made once per test program, in a scratch folder removed at exit. Throws when openssl fails.
const test_ca& the_test_ca();
