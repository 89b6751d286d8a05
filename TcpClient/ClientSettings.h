// ClientSettings.h: the client libraries' settings, read from the environment at every connect.
#pragma once
#include <cstdint>
#include <string>

#include "Wire/SocketStream.h"
#include "Wire/TlsSetup.h"
#include "Wire/WireProtocol.h"

namespace VeltrixNS::Native::TcpClient {

struct ClientSettings {
    Wire::Milliseconds connectTimeout{5000};                           // VELTRIX_TCP_CONNECT_TIMEOUT_MS
    Wire::Milliseconds ioTimeout{30000};                               // VELTRIX_TCP_IO_TIMEOUT_MS
    std::uint32_t maxFrameBytes = Wire::Limits::DefaultMaxFrameBytes;  // VELTRIX_TCP_MAX_FRAME_BYTES
    Wire::TlsClientFiles tls;  // VELTRIX_TLS_CA_FILE, VELTRIX_TLS_CERT_FILE, VELTRIX_TLS_KEY_FILE
    std::string serverName;    // VELTRIX_TLS_SERVER_NAME; empty: the address

    // Throws WireError naming the variable whose value is not usable.
    static ClientSettings FromEnvironment();
};

}  // namespace VeltrixNS::Native::TcpClient
