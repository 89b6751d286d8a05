// Certificates.h: throw-away TLS certificates for tests and benchmarks, made with the openssl command.
#pragma once
#include <filesystem>
#include <string>

namespace veltrix::test {

// In a temporary directory: ca.pem; server.pem/.key for 127.0.0.1 and localhost and client.pem/.key, both
// issued by it; rogue-ca.pem, a CA the first does not trust, and rogue-client.pem/.key issued by that one.
class Certificates {
public:
    Certificates();
    ~Certificates();
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // One set for the whole process, made on first use.
    static const Certificates& shared();

private:
    std::filesystem::path dir_;
};

}  // namespace veltrix::test
