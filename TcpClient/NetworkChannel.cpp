// NetworkChannel.cpp: command round trips, time-outs and reconnection for both client libraries.
#include "NetworkChannel.h"

#include <asio/ip/address.hpp>
#include <cstring>

namespace VeltrixNS::Native::TcpClient {

using Wire::Failure;
using Wire::WireError;

namespace {

// A connection idle for longer than this is checked for a peer hang-up before it is used again.
constexpr auto kStaleCheckAfter = std::chrono::seconds(1);

asio::ip::tcp::endpoint Resolve(const std::string& address, unsigned short port) {
    asio::error_code ec;
    asio::ip::address ip = asio::ip::make_address(address, ec);
    if (!ec) return asio::ip::tcp::endpoint(ip, port);
    asio::ip::tcp::resolver resolver(Wire::SharedContext());
    auto results = resolver.resolve(address, std::to_string(port), ec);
    if (ec || results.empty()) {
        throw WireError(Failure::Connect, "cannot resolve the address '" + address +
                                              "': " + (ec ? ec.message() : std::string("no address found")));
    }
    return *results.begin();
}

}  // namespace

NetworkChannel::NetworkChannel(std::string libraryName, std::string address, unsigned short port,
                               std::unique_ptr<ClientConnection> connection)
    : libraryName_(std::move(libraryName)),
      address_(std::move(address)),
      port_(port),
      connection_(std::move(connection)) {}

std::string NetworkChannel::Prefix() const {
    return libraryName_ + ": " + address_ + ":" + std::to_string(port_) + ": ";
}

int NetworkChannel::Initialize(byte, byte, byte) {
    EnsureOpen();
    return 0;
}

void NetworkChannel::EnsureOpen() {
    if (connection_->IsOpen()) {
        if (Wire::Clock::now() - lastUse_ < kStaleCheckAfter || !connection_->PeerHungUp()) return;
        // The server closed an idle connection (for instance its idle time-out): re-establish it.
        connection_->Close();
    }
    try {
        settings_ = ClientSettings::FromEnvironment();
        connection_->Open(Resolve(address_, port_), address_, settings_);
    } catch (const WireError& error) {
        connection_->Close();
        throw WireError(error.failure(), Prefix() + "cannot connect: " + error.what());
    }
    lastUse_ = Wire::Clock::now();
}

void NetworkChannel::Fail(const WireError& error) {
    connection_->Close();
    std::string reason;
    switch (error.failure()) {
        case Failure::Timeout:
            reason = "no answer within " + std::to_string(settings_.ioTimeout.count()) +
                     " ms (VELTRIX_TCP_IO_TIMEOUT_MS): " + error.what();
            break;
        case Failure::Closed: reason = "the server closed the connection before answering"; break;
        default: reason = error.what(); break;
    }
    throw WireError(error.failure(),
                    Prefix() + "command failed: " + reason + "; the next command opens a new connection");
}

int NetworkChannel::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    response_.reset();
    if (messageByteArrayLen < 0 || (messageByteArray == nullptr && messageByteArrayLen > 0)) {
        throw WireError(Failure::Refused,
                        Prefix() + "invalid command buffer (length " + std::to_string(messageByteArrayLen) + ")");
    }
    auto length = static_cast<std::uint32_t>(messageByteArrayLen);
    EnsureOpen();
    if (length > settings_.maxFrameBytes) {
        throw WireError(Failure::TooLarge, Prefix() + "command of " + std::to_string(length) +
                                               " bytes exceeds the maximum frame size of " +
                                               std::to_string(settings_.maxFrameBytes) +
                                               " bytes (VELTRIX_TCP_MAX_FRAME_BYTES)");
    }
    // The I/O time-out bounds the whole round trip, not each wait: a server that trickles its answer cannot
    // keep the caller longer.
    connection_->SetDeadline(Wire::Clock::now() + settings_.ioTimeout);
    try {
        connection_->Send(messageByteArray, length);
    } catch (const WireError& error) {
        if (auto refusal = connection_->PendingRefusal()) {
            connection_->Close();
            throw WireError(Failure::Refused, Prefix() + "the server refused the command: " + *refusal);
        }
        Fail(error);
    }
    Wire::FrameView frame{};
    try {
        frame = connection_->Receive();
    } catch (const WireError& error) {
        Fail(error);
    }
    if (frame.kind == Wire::FrameKind::Error) {
        std::string reason(reinterpret_cast<const char*>(frame.body), frame.length);
        connection_->Close();
        throw WireError(Failure::Refused, Prefix() + "the server refused the command: " + reason);
    }
    if (frame.kind != Wire::FrameKind::Response) {
        Fail(WireError(Failure::Protocol, "the server answered with a frame of kind " +
                                              std::to_string(static_cast<int>(frame.kind)) + " instead of a response"));
    }
    lastUse_ = Wire::Clock::now();
    response_ = frame;
    return static_cast<int>(frame.length);
}

int NetworkChannel::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (!response_) throw WireError(Failure::Refused, Prefix() + "there is no response to read");
    if (responseByteArrayLen < 0 || (responseByteArray == nullptr && responseByteArrayLen > 0)) {
        throw WireError(Failure::Refused,
                        Prefix() + "invalid response buffer (length " + std::to_string(responseByteArrayLen) + ")");
    }
    std::uint32_t count = std::min(response_->length, static_cast<std::uint32_t>(responseByteArrayLen));
    if (count != 0) std::memcpy(responseByteArray, response_->body, count);
    return static_cast<int>(count);
}

}  // namespace VeltrixNS::Native::TcpClient
