// NetworkChannel.h: the channel object the client libraries hand to the bridge: one command frame out, one
// response frame back, over a connection that is opened lazily and re-established after a failure.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "ClientSettings.h"
#include "ITransport.h"
#include "Wire/FrameIo.h"

namespace VeltrixNS::Native::TcpClient {

// A plain or TLS connection to a runtime server.
class ClientConnection {
public:
    virtual ~ClientConnection() = default;
    // Connects (and shakes hands) within the settings' limits; throws WireError.
    virtual void Open(const asio::ip::tcp::endpoint& endpoint, const std::string& address,
                      const ClientSettings& settings) = 0;
    virtual void Close() noexcept = 0;
    virtual bool IsOpen() const noexcept = 0;
    virtual bool PeerHungUp() const = 0;
    // Every later wait of Send and Receive ends at this point (the whole command and its answer).
    virtual void SetDeadline(Wire::Clock::time_point deadline) = 0;
    virtual void Send(const std::uint8_t* body, std::uint32_t length) = 0;
    virtual Wire::FrameView Receive() = 0;
    // After a failed send: the server's reason, if it refused the frame before closing.
    virtual std::optional<std::string> PendingRefusal() { return std::nullopt; }
};

std::unique_ptr<ClientConnection> MakeTcpConnection();
std::unique_ptr<ClientConnection> MakeTlsConnection();

class NetworkChannel final : public Interfaces::ITransport {
public:
    NetworkChannel(std::string libraryName, std::string address, unsigned short port,
                   std::unique_ptr<ClientConnection> connection);
    ~NetworkChannel() override = default;

    int Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }

private:
    void EnsureOpen();
    [[noreturn]] void Fail(const Wire::WireError& error);
    std::string Prefix() const;

    std::string libraryName_;
    std::string address_;
    unsigned short port_;
    std::unique_ptr<ClientConnection> connection_;
    ClientSettings settings_;
    Wire::Clock::time_point lastUse_{};
    std::optional<Wire::FrameView> response_;
};

}  // namespace VeltrixNS::Native::TcpClient
