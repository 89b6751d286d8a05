// TlsSetup.cpp: OpenSSL settings behind the TLS client library and the runtime server.
#include "TlsSetup.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <asio/ip/address.hpp>

#include "WireProtocol.h"

namespace VeltrixNS::Wire {

namespace {

void RequireReadable(const std::string& path, const char* what) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw WireError(Failure::Tls, std::string("cannot read the ") + what + " " + path);
    }
}

void Check(const asio::error_code& ec, const std::string& doing) {
    if (ec) throw WireError(Failure::Tls, "cannot " + doing + ": " + ec.message());
}

void CommonSettings(asio::ssl::context& context) {
    context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                        asio::ssl::context::no_compression);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
}

}  // namespace

void ConfigureClientContext(asio::ssl::context& context, const TlsClientFiles& files) {
    asio::error_code ec;
    CommonSettings(context);
    context.set_verify_mode(asio::ssl::verify_peer, ec);
    if (files.caFile.empty()) {
        context.set_default_verify_paths(ec);
        Check(ec, "use the system trust store");
    } else {
        RequireReadable(files.caFile, "CA file (VELTRIX_TLS_CA_FILE)");
        context.load_verify_file(files.caFile, ec);
        Check(ec, "load the CA file " + files.caFile);
    }
    if (files.certFile.empty() != files.keyFile.empty()) {
        throw WireError(Failure::Tls, "a client certificate needs both VELTRIX_TLS_CERT_FILE and VELTRIX_TLS_KEY_FILE");
    }
    if (!files.certFile.empty()) {
        RequireReadable(files.certFile, "client certificate (VELTRIX_TLS_CERT_FILE)");
        RequireReadable(files.keyFile, "client key (VELTRIX_TLS_KEY_FILE)");
        context.use_certificate_chain_file(files.certFile, ec);
        Check(ec, "load the client certificate " + files.certFile);
        context.use_private_key_file(files.keyFile, asio::ssl::context::pem, ec);
        Check(ec, "load the client key " + files.keyFile);
    }
}

void ConfigureServerContext(asio::ssl::context& context, const TlsServerFiles& files) {
    asio::error_code ec;
    CommonSettings(context);
    // No resumption: tickets would only cost bytes after every handshake.
    SSL_CTX_set_num_tickets(context.native_handle(), 0);
    RequireReadable(files.certFile, "server certificate");
    RequireReadable(files.keyFile, "server key");
    context.use_certificate_chain_file(files.certFile, ec);
    Check(ec, "load the server certificate " + files.certFile);
    context.use_private_key_file(files.keyFile, asio::ssl::context::pem, ec);
    Check(ec, "load the server key " + files.keyFile);
    if (SSL_CTX_check_private_key(context.native_handle()) != 1) {
        throw WireError(Failure::Tls, "the server key " + files.keyFile + " does not match the certificate");
    }
    if (!files.clientCaFile.empty()) {
        RequireReadable(files.clientCaFile, "client CA file");
        context.load_verify_file(files.clientCaFile, ec);
        Check(ec, "load the client CA file " + files.clientCaFile);
        context.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert, ec);
    }
}

void ExpectPeerName(SSL* ssl, const std::string& name) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    asio::error_code ec;
    asio::ip::make_address(name, ec);
    if (!ec) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1) {
            throw WireError(Failure::Tls, "cannot check the server address " + name);
        }
        return;
    }
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0) != 1 || SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
        throw WireError(Failure::Tls, "cannot check the server name " + name);
    }
}

std::string TlsFailureText(const asio::error_code& ec, SSL* ssl) {
    std::string text = ec.message();
    if (ssl != nullptr) {
        long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            text += " (" + std::string(X509_verify_cert_error_string(verify)) + ")";
        }
    }
    return text;
}

}  // namespace VeltrixNS::Wire
