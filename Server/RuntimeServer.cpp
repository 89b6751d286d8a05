// RuntimeServer.cpp: listening, one thread per connection, frame limits and time-outs, connection log lines.
#include "RuntimeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "Wire/FrameIo.h"

namespace VeltrixNS::Server {

namespace {

// Best effort: tell the peer why its frame is refused, then let the error frame arrive before the socket closes.
template <typename Stream>
void Refuse(Stream& stream, Wire::SocketStream& socket, const std::string& reason, bool tls) {
    try {
        std::vector<std::uint8_t> scratch;
        Wire::WriteFrame(stream, Wire::FrameKind::Error, reinterpret_cast<const std::uint8_t*>(reason.data()),
                         static_cast<std::uint32_t>(reason.size()), scratch, tls);
    } catch (const std::exception&) {
        return;
    }
    ::shutdown(socket.Fd(), SHUT_WR);
    // Drain what the peer still sends (bounded), so that closing does not reset the connection under the reply.
    auto deadline = Wire::Clock::now() + Wire::Milliseconds(200);
    std::uint8_t sink[16384];
    std::size_t drained = 0;
    while (drained < (8u << 20) && Wire::Clock::now() < deadline && socket.WaitReadable(Wire::Milliseconds(50))) {
        ssize_t n = ::recv(socket.Fd(), sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
}

}  // namespace

RuntimeServer::RuntimeServer(ServerConfig config, CommandHandler& handler)
    : config_(std::move(config)), handler_(handler) {
    if (config_.tls) {
        tlsContext_.emplace(asio::ssl::context::tls_server);
        Wire::ConfigureServerContext(*tlsContext_, config_.tlsFiles);
    }
}

void RuntimeServer::Log(const std::string& line) const {
    if (config_.log) return config_.log(line);
    std::string text = "veltrix-server: " + line + "\n";
    std::cerr << text << std::flush;
}

RuntimeServer::~RuntimeServer() {
    Reap(true);
    if (listenFd_ >= 0) ::close(listenFd_);
}

unsigned short RuntimeServer::Listen() {
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(config_.listenAddress, ec);
    if (ec) throw std::runtime_error("not an IP address: " + config_.listenAddress);
    asio::ip::tcp::endpoint endpoint(address, config_.port);
    listenFd_ = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (listenFd_ < 0) throw std::runtime_error(std::string("cannot create a socket: ") + std::strerror(errno));
    int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listenFd_, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        throw std::runtime_error("cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port) +
                                 ": " + std::strerror(errno));
    }
    if (::listen(listenFd_, 512) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void RuntimeServer::Run(int stopFd) {
    pollfd watched[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(watched, 2, 1000);
        if (rc < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        if (watched[1].revents != 0) break;
        Reap(false);
        if (rc <= 0 || (watched[0].revents & POLLIN) == 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                Log(std::string("cannot accept: ") + std::strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        int id = nextId_++;
        if (static_cast<int>(connections_.size()) >= config_.maxConnections) {
            Wire::SocketStream refused(fd);
            Log("connection #" + std::to_string(id) + " from " + refused.PeerText() +
                " refused: " + std::to_string(connections_.size()) + " connections are open (--max-connections)");
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->id = id;
        connection->fd = fd;
        Connection* raw = connection.get();
        connection->thread = std::thread([this, raw] { Serve(*raw); });
        connections_.push_back(std::move(connection));
    }
    ::close(listenFd_);
    listenFd_ = -1;
    Reap(true);
}

void RuntimeServer::Reap(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& connection = **it;
        if (all) {
            std::lock_guard<std::mutex> lock(connection.closeMutex);
            if (!connection.closed) ::shutdown(connection.fd, SHUT_RDWR);
        }
        if (all || connection.finished.load()) {
            connection.thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void RuntimeServer::Serve(Connection& connection) {
    Wire::SocketStream socket(connection.fd);
    socket.SetNoDelay();
    socket.SetWaitLimits(config_.idleTimeout, config_.ioTimeout);
    std::string name = "connection #" + std::to_string(connection.id) + " from " + socket.PeerText();
    Log(name + " opened (" + (config_.tls ? "TLS" : "TCP") + ")");
    int commands = 0;
    std::string reason;
    try {
        if (config_.tls) {
            asio::ssl::stream<Wire::SocketStream&> stream(socket, *tlsContext_);
            socket.SetReadDeadline(Wire::Clock::now() + config_.ioTimeout);
            asio::error_code ec;
            stream.handshake(asio::ssl::stream_base::server, ec);
            socket.SetReadDeadline(std::nullopt);
            if (ec) {
                reason = "TLS handshake failed: " + Wire::TlsFailureText(ec, stream.native_handle());
            } else {
                reason = ServeFrames(stream, socket, commands);
            }
        } else {
            reason = ServeFrames(socket, socket, commands);
        }
    } catch (const std::exception& error) {
        reason = error.what();
    }
    {
        std::lock_guard<std::mutex> lock(connection.closeMutex);
        socket.Close();
        connection.closed = true;
    }
    Log(name + " closed after " + std::to_string(commands) + (commands == 1 ? " command: " : " commands: ") + reason);
    connection.finished.store(true);
}

template <typename Stream>
std::string RuntimeServer::ServeFrames(Stream& stream, Wire::SocketStream& socket, int& commands) {
    Wire::FrameReader reader(config_.maxFrameBytes);
    std::vector<std::uint8_t> response;
    std::vector<std::uint8_t> scratch;
    for (;;) {
        bool started = false;
        socket.SetReadDeadline(std::nullopt);
        Wire::FrameView frame{};
        try {
            frame = reader.Read(stream, [&] {
                started = true;
                socket.SetReadDeadline(Wire::Clock::now() + config_.ioTimeout);
            });
        } catch (const Wire::WireError& error) {
            switch (error.failure()) {
                case Wire::Failure::Closed:
                    return started ? "the client disconnected in the middle of a frame" : "closed by the client";
                case Wire::Failure::Timeout:
                    return started ? "frame not complete within " + std::to_string(config_.ioTimeout.count()) + " ms"
                                   : "idle for " + std::to_string(config_.idleTimeout.count()) + " ms (idle time-out)";
                case Wire::Failure::Protocol:
                case Wire::Failure::TooLarge:
                    Refuse(stream, socket, error.what(), config_.tls);
                    return std::string("refused a frame: ") + error.what();
                default: return error.what();
            }
        }
        if (frame.kind != Wire::FrameKind::Command) {
            std::string text = "expected a command frame, got kind " + std::to_string(static_cast<int>(frame.kind));
            Refuse(stream, socket, text, config_.tls);
            return "refused a frame: " + text;
        }
        // The reader's buffer is ours; the receiver takes a mutable pointer.
        handler_.Execute(const_cast<std::uint8_t*>(frame.body), frame.length, response);
        Wire::WriteFrame(stream, Wire::FrameKind::Response, response.data(),
                         static_cast<std::uint32_t>(response.size()), scratch, config_.tls);
        ++commands;
    }
}

}  // namespace VeltrixNS::Server
