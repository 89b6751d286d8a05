// TlsConnection.cpp: the TLS connection of VeltrixTcpTlsClient.dll (verified server, optional client certificate).
#include <asio/ssl.hpp>

#include "NetworkChannel.h"

namespace VeltrixNS::Native::TcpClient {

namespace {

class TlsConnection final : public ClientConnection {
public:
    void Open(const asio::ip::tcp::endpoint& endpoint, const std::string& address,
              const ClientSettings& settings) override {
        Close();
        // Settings may change between connects; the context is rebuilt with each connection.
        context_.emplace(asio::ssl::context::tls_client);
        Wire::ConfigureClientContext(*context_, settings.tls);
        Wire::SocketStream socket;
        socket.Connect(endpoint, settings.connectTimeout);
        socket.SetNoDelay();
        socket.SetWaitLimits(settings.ioTimeout, settings.ioTimeout);
        stream_.emplace(std::move(socket), *context_);
        Wire::ExpectPeerName(stream_->native_handle(), settings.serverName.empty() ? address : settings.serverName);
        asio::error_code ec;
        stream_->handshake(asio::ssl::stream_base::client, ec);
        if (ec) {
            std::string text = Wire::TlsFailureText(ec, stream_->native_handle());
            Close();
            throw Wire::WireError(ec == asio::error::timed_out ? Wire::Failure::Timeout : Wire::Failure::Tls,
                                  "TLS handshake failed: " + text);
        }
        reader_.SetMaxFrameBytes(settings.maxFrameBytes);
        reader_.Reset();
    }
    void Close() noexcept override {
        stream_.reset();
        reader_.Reset();
    }
    bool IsOpen() const noexcept override { return stream_.has_value() && stream_->next_layer().IsOpen(); }
    bool PeerHungUp() const override { return !stream_ || stream_->next_layer().PeerHungUp(); }
    void SetDeadline(Wire::Clock::time_point deadline) override {
        stream_->next_layer().SetReadDeadline(deadline);
        stream_->next_layer().SetWriteDeadline(deadline);
    }
    void Send(const std::uint8_t* body, std::uint32_t length) override {
        Wire::WriteFrame(*stream_, Wire::FrameKind::Command, body, length, scratch_, true);
    }
    Wire::FrameView Receive() override { return reader_.Read(*stream_); }

private:
    std::optional<asio::ssl::context> context_;
    std::optional<asio::ssl::stream<Wire::SocketStream>> stream_;
    Wire::FrameReader reader_{Wire::Limits::DefaultMaxFrameBytes};
    std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<ClientConnection> MakeTlsConnection() {
    return std::make_unique<TlsConnection>();
}

}  // namespace VeltrixNS::Native::TcpClient
