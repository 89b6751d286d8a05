// TcpConnection.cpp: the plain TCP connection of VeltrixTcpClient.dll.
#include "NetworkChannel.h"

namespace VeltrixNS::Native::TcpClient {

namespace {

class TcpConnection final : public ClientConnection {
public:
    void Open(const asio::ip::tcp::endpoint& endpoint, const std::string&, const ClientSettings& settings) override {
        socket_.Connect(endpoint, settings.connectTimeout);
        socket_.SetNoDelay();
        socket_.SetWaitLimits(settings.ioTimeout, settings.ioTimeout);
        reader_.SetMaxFrameBytes(settings.maxFrameBytes);
        reader_.Reset();
    }
    void Close() noexcept override {
        socket_.Close();
        reader_.Reset();
    }
    bool IsOpen() const noexcept override { return socket_.IsOpen(); }
    bool PeerHungUp() const override { return socket_.PeerHungUp(); }
    void SetDeadline(Wire::Clock::time_point deadline) override {
        socket_.SetReadDeadline(deadline);
        socket_.SetWriteDeadline(deadline);
    }
    void Send(const std::uint8_t* body, std::uint32_t length) override {
        Wire::WriteFrame(socket_, Wire::FrameKind::Command, body, length, scratch_, false);
    }
    Wire::FrameView Receive() override { return reader_.Read(socket_); }
    std::optional<std::string> PendingRefusal() override {
        // A server that refuses a frame answers with an error frame and closes before reading the rest.
        try {
            if (!socket_.IsOpen() || !socket_.WaitReadable(Wire::Milliseconds(200))) return std::nullopt;
            Wire::FrameView frame = reader_.Read(socket_);
            if (frame.kind != Wire::FrameKind::Error) return std::nullopt;
            return std::string(reinterpret_cast<const char*>(frame.body), frame.length);
        } catch (const Wire::WireError&) {
            return std::nullopt;
        }
    }

private:
    Wire::SocketStream socket_;
    Wire::FrameReader reader_{Wire::Limits::DefaultMaxFrameBytes};
    std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<ClientConnection> MakeTcpConnection() {
    return std::make_unique<TcpConnection>();
}

}  // namespace VeltrixNS::Native::TcpClient
