// Certificates.cpp: a CA, leaf certificates issued by it, and an untrusted second CA, with EC P-256 keys.
#include "Certificates.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace veltrix::test {

namespace {

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

Certificates::Certificates() {
    std::string pattern = (fs::temp_directory_path() / "veltrix-certs-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const std::string d = pattern + "/";
    auto key = [&](const std::string& name) {
        Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + d + name + ".key");
    };
    auto ca = [&](const std::string& name, const std::string& subject) {
        key(name);
        Run("openssl req -x509 -new -key " + d + name + ".key -out " + d + name + ".pem -days 2 -subj '/CN=" + subject +
            "' -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'");
    };
    auto leaf = [&](const std::string& name, const std::string& issuer, const std::string& extensions) {
        key(name);
        std::ofstream(d + name + ".ext") << extensions << "\n";
        Run("openssl req -new -key " + d + name + ".key -out " + d + name + ".csr -subj '/CN=" + name + "'");
        Run("openssl x509 -req -in " + d + name + ".csr -CA " + d + issuer + ".pem -CAkey " + d + issuer +
            ".key -CAcreateserial -out " + d + name + ".pem -days 2 -extfile " + d + name + ".ext");
    };
    ca("ca", "Veltrix Test CA");
    leaf("server", "ca", "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth");
    leaf("client", "ca", "extendedKeyUsage=clientAuth");
    ca("rogue-ca", "Untrusted Test CA");
    leaf("rogue-client", "rogue-ca", "extendedKeyUsage=clientAuth");
}

Certificates::~Certificates() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

const Certificates& Certificates::shared() {
    static const Certificates certificates;
    return certificates;
}

}  // namespace veltrix::test
