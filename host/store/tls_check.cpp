#include "store/tls_check.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>

namespace {

struct trust_list_deleter {
    void operator()(gnutls_x509_trust_list_st* list) const { gnutls_x509_trust_list_deinit(list, 1); }
};
struct certificate_deleter {
    void operator()(gnutls_x509_crt_int* certificate) const { gnutls_x509_crt_deinit(certificate); }
};
using trust_list = std::unique_ptr<gnutls_x509_trust_list_st, trust_list_deleter>;
using certificate = std::unique_ptr<gnutls_x509_crt_int, certificate_deleter>;

// The first reason of `status` that a user can act on.
std::string reason_of(unsigned status) {
    if (status & GNUTLS_CERT_UNEXPECTED_OWNER) return "issued for another name";
    if (status & GNUTLS_CERT_EXPIRED) return "expired";
    if (status & GNUTLS_CERT_NOT_ACTIVATED) return "not yet valid";
    if (status & GNUTLS_CERT_REVOKED) return "revoked";
    if (status & GNUTLS_CERT_SIGNER_NOT_FOUND) return "unknown authority";
    if (status & GNUTLS_CERT_INSECURE_ALGORITHM) return "insecure algorithm";
    if (status & GNUTLS_CERT_PURPOSE_MISMATCH) return "not for a server";
    if (status & GNUTLS_CERT_SIGNATURE_FAILURE) return "bad signature";
    return "invalid";
}

}  // namespace

bool check_certificate_chain(const std::vector<std::string>& chain_der, const std::string& host,
                             const std::string& ca_file, std::string& error) {
    if (chain_der.empty()) {
        error = "the server " + host + " showed no certificate";
        return false;
    }
    gnutls_x509_trust_list_t raw_list = nullptr;
    if (gnutls_x509_trust_list_init(&raw_list, 0) < 0) {
        error = "cannot set up certificate checking";
        return false;
    }
    trust_list authorities(raw_list);
    int added = ca_file.empty() ? gnutls_x509_trust_list_add_system_trust(raw_list, 0, 0)
                                : gnutls_x509_trust_list_add_trust_file(raw_list, ca_file.c_str(), nullptr,
                                                                        GNUTLS_X509_FMT_PEM, 0, 0);
    if (added <= 0) {
        error = ca_file.empty() ? std::string("no certificate authorities found on this system")
                                : "no certificate authority could be read from " + ca_file;
        return false;
    }

    std::vector<certificate> owners;
    std::vector<gnutls_x509_crt_t> chain;
    for (const std::string& der : chain_der) {
        gnutls_x509_crt_t raw = nullptr;
        if (gnutls_x509_crt_init(&raw) < 0) {
            error = "cannot set up certificate checking";
            return false;
        }
        owners.emplace_back(raw);
        gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                             static_cast<unsigned>(der.size())};
        if (gnutls_x509_crt_import(raw, &datum, GNUTLS_X509_FMT_DER) < 0) {
            error = "the server " + host + " showed a certificate that cannot be read";
            return false;
        }
        chain.push_back(raw);
    }

    // GnuTLS matches an address given as the host against the certificate's IP addresses.
    gnutls_typed_vdata_st checks[2] = {};
    checks[0].type = GNUTLS_DT_DNS_HOSTNAME;
    checks[0].data = reinterpret_cast<unsigned char*>(const_cast<char*>(host.c_str()));
    checks[1].type = GNUTLS_DT_KEY_PURPOSE_OID;
    checks[1].data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
    unsigned status = 0;
    int result = gnutls_x509_trust_list_verify_crt2(raw_list, chain.data(), static_cast<unsigned>(chain.size()), checks,
                                                    2, 0, &status, nullptr);
    if (result < 0) {
        error = std::string("cannot check the certificate of ") + host + ": " + gnutls_strerror(result);
        return false;
    }
    if (status != 0) {
        error = "certificate not trusted (" + reason_of(status) + ") for " + host;
        return false;
    }
    return true;
}
