#include "servers/test_ca.h"

#include <cstdlib>
#include <stdexcept>

#include "support/temp_dir.h"

namespace {

const char* const config = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = Tarnwick test
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,IP:::1,DNS:localhost
authorityKeyIdentifier = keyid
)";

test_ca make(const temp_dir& dir) {
    write_text_file(dir.file("openssl.cnf"), config);
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -config openssl.cnf";
    const std::string script = "cd '" + dir.path() + "' && {" +
                               " openssl req -x509 -days 3 -extensions authority -subj '/CN=Tarnwick test CA'" + key +
                               " -keyout ca.key -out ca.pem &&" +
                               " openssl req -x509 -days 3 -extensions authority -subj '/CN=Unrelated CA'" + key +
                               " -keyout other.key -out other.pem &&" + " openssl req -new -subj /CN=localhost" + key +
                               " -keyout server.key -out server.csr &&" +
                               " openssl x509 -req -days 3 -in server.csr -CA ca.pem -CAkey ca.key -set_serial 2" +
                               " -extfile openssl.cnf -extensions server -out server.pem &&" +
                               " openssl x509 -in server.pem -outform DER -out server.der; } >openssl.log 2>&1";
    if (std::system(script.c_str()) != 0)
        throw std::runtime_error("openssl could not make the test certificates: " +
                                 read_text_file(dir.file("openssl.log")));
    return {dir.file("ca.pem"), dir.file("other.pem"), dir.file("server.pem"), dir.file("server.der"),
            dir.file("server.key")};
}

}  // namespace

const test_ca& the_test_ca() {
    static temp_dir dir;
    static const test_ca made = make(dir);
    return made;
}
