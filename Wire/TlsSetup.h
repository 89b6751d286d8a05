// TlsSetup.h: TLS contexts for both ends (TLS 1.2 or later, verified peers) and readable TLS failure texts.
#pragma once
#include <asio/ssl.hpp>
#include <string>

namespace VeltrixNS::Wire {

struct TlsClientFiles {
    std::string caFile;    // empty: the system trust store
    std::string certFile;  // client certificate chain for mutual TLS, optional
    std::string keyFile;
};

struct TlsServerFiles {
    std::string certFile;      // certificate chain
    std::string keyFile;       // private key
    std::string clientCaFile;  // when set, clients must present a certificate issued by it
};

// Throw WireError(Tls) naming the file that could not be used.
void ConfigureClientContext(asio::ssl::context& context, const TlsClientFiles& files);
void ConfigureServerContext(asio::ssl::context& context, const TlsServerFiles& files);

// The peer certificate must carry `name`: an IP address is matched against IP entries, anything else as a host
// name (also sent as SNI).
void ExpectPeerName(SSL* ssl, const std::string& name);

// The reason for a failed TLS operation, with the certificate verification result when there is one.
std::string TlsFailureText(const asio::error_code& ec, SSL* ssl);

}  // namespace VeltrixNS::Wire
