// ClientSettings.cpp: parsing of the client environment variables.
#include "ClientSettings.h"

#include <cstdlib>

namespace VeltrixNS::Native::TcpClient {

namespace {

std::string Text(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// A positive whole number no larger than `limit`, or the default when the variable is unset or empty.
std::uint64_t Number(const char* name, std::uint64_t fallback, std::uint64_t limit) {
    std::string value = Text(name);
    if (value.empty()) return fallback;
    std::uint64_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9' || result > limit) {
            result = 0;
            break;
        }
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (result == 0 || result > limit) {
        throw Wire::WireError(Wire::Failure::Refused, std::string(name) + " must be a whole number from 1 to " +
                                                          std::to_string(limit) + ", not '" + value + "'");
    }
    return result;
}

}  // namespace

ClientSettings ClientSettings::FromEnvironment() {
    ClientSettings settings;
    constexpr std::uint64_t kDay = 24ull * 3600 * 1000;
    settings.connectTimeout =
        Wire::Milliseconds(Number("VELTRIX_TCP_CONNECT_TIMEOUT_MS", settings.connectTimeout.count(), kDay));
    settings.ioTimeout = Wire::Milliseconds(Number("VELTRIX_TCP_IO_TIMEOUT_MS", settings.ioTimeout.count(), kDay));
    settings.maxFrameBytes = static_cast<std::uint32_t>(
        Number("VELTRIX_TCP_MAX_FRAME_BYTES", Wire::Limits::DefaultMaxFrameBytes, Wire::Limits::LargestMessageBytes));
    settings.tls.caFile = Text("VELTRIX_TLS_CA_FILE");
    settings.tls.certFile = Text("VELTRIX_TLS_CERT_FILE");
    settings.tls.keyFile = Text("VELTRIX_TLS_KEY_FILE");
    settings.serverName = Text("VELTRIX_TLS_SERVER_NAME");
    return settings;
}

}  // namespace VeltrixNS::Native::TcpClient
