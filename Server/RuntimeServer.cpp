// RuntimeServer.cpp: listening or taking handed-over connections, one thread per connection, frame and memory
// limits, call deadlines, time-outs and connection log lines.
#include "RuntimeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "HandOver.h"
#include "HostClient/Codec.h"

namespace VeltrixNS::Server {

namespace {

using Native::Definitions::CommandHeader;
namespace DefinitionLimits = Native::Definitions::Limits;

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

// The header a command's answer goes back under; a short command was meant for Perl.
CommandHeader HeaderOf(const std::uint8_t* command, std::uint32_t length) {
    std::uint8_t bytes[DefinitionLimits::HeaderLength] = {};
    bytes[Native::Definitions::HeaderOffset::CalledRuntime] = HostClient::PerlRuntimeNumber;
    std::memcpy(bytes, command, std::min<std::size_t>(length, sizeof bytes));
    return CommandHeader::Read(bytes);
}

}  // namespace

// The call time-out of one command counts from Started().
class RuntimeServer::Timer final : public CallTimer {
public:
    Timer(RuntimeServer& server, int id) : server_(server), id_(id) {}
    void Waiting() noexcept override { server_.Restart(id_, false); }
    void Started() noexcept override { server_.Restart(id_, true); }

private:
    RuntimeServer& server_;
    int id_;
};

RuntimeServer::RuntimeServer(ServerConfig config, CommandHandler& handler)
    : config_(std::move(config)),
      handler_(handler),
      budget_(config_.bytesInFlight != nullptr ? *config_.bytesInFlight : ownBytesInFlight_, config_.maxBytesInFlight) {
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
    CloseListener();
}

void RuntimeServer::CloseListener() {
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
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
    Loop(listenFd_, stopFd, false);
    CloseListener();
}

void RuntimeServer::ServeHandedOver(int controlFd, int stopFd) {
    Loop(controlFd, stopFd, true);
}

void RuntimeServer::Loop(int sourceFd, int stopFd, bool handedOver) {
    if (config_.callTimeout.count() > 0) watchdog_ = std::thread([this] { Watch(); });
    pollfd watched[2] = {{sourceFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(watched, 2, 1000);
        if (rc < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        if (watched[1].revents != 0) break;
        Reap(false);
        if (rc <= 0 || watched[0].revents == 0) continue;
        if (handedOver) {
            HandedOver in = ReceiveConnection(sourceFd);
            if (in.supervisorGone) break;
            if (in.fd >= 0) Start(in.fd, in.id);
            continue;
        }
        int fd = ::accept4(sourceFd, nullptr, nullptr, SOCK_CLOEXEC);
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
        Start(fd, id);
    }
    Reap(true);
    if (watchdog_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(callsMutex_);
            watchStop_ = true;
        }
        callsChanged_.notify_all();
        watchdog_.join();
    }
}

void RuntimeServer::Start(int fd, int id) {
    auto connection = std::make_unique<Connection>();
    connection->id = id;
    connection->fd = fd;
    Connection* raw = connection.get();
    try {
        connection->thread = std::thread([this, raw] { Serve(*raw); });
    } catch (const std::system_error& error) {
        // Out of threads (a resource limit): this connection is refused, the server goes on.
        Wire::SocketStream refused(fd);
        Log("connection #" + std::to_string(id) + " from " + refused.PeerText() +
            " refused: cannot start a thread: " + error.what());
        if (config_.slot != nullptr) config_.slot->connections.fetch_sub(1);
        return;
    }
    connections_.push_back(std::move(connection));
}

void RuntimeServer::Reap(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& connection = **it;
        if (all) {
            // Draining: nothing more is read, a command that runs still answers.
            std::lock_guard<std::mutex> lock(connection.closeMutex);
            pollfd hungUp{connection.fd, POLLRDHUP, 0};
            if (!connection.closed && !(::poll(&hungUp, 1, 0) > 0 && (hungUp.revents & POLLRDHUP) != 0)) {
                connection.drained = true;
                ::shutdown(connection.fd, SHUT_RD);
            }
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
    Log(name + " opened (" + (config_.tls ? "TLS" : "TCP") + ")" +
        (config_.workerName.empty() ? "" : " on " + config_.workerName));
    int commands = 0;
    std::string reason;
    try {
        std::unique_ptr<ConnectionHandler> handler = handler_.Connect(connection.id);
        if (config_.tls) {
            asio::ssl::stream<Wire::SocketStream&> stream(socket, *tlsContext_);
            socket.SetReadDeadline(Wire::Clock::now() + config_.ioTimeout);
            asio::error_code ec;
            stream.handshake(asio::ssl::stream_base::server, ec);
            socket.SetReadDeadline(std::nullopt);
            if (ec) {
                reason = "TLS handshake failed: " + Wire::TlsFailureText(ec, stream.native_handle());
            } else {
                reason = ServeFrames(stream, socket, *handler, connection.id, commands);
            }
        } else {
            reason = ServeFrames(socket, socket, *handler, connection.id, commands);
        }
    } catch (const std::exception& error) {
        reason = error.what();
    }
    if (connection.drained && reason.starts_with("closed by the client")) reason = "the server is stopping";
    {
        std::lock_guard<std::mutex> lock(connection.closeMutex);
        socket.Close();
        connection.closed = true;
    }
    if (config_.slot != nullptr) config_.slot->connections.fetch_sub(1);
    Log(name + " closed after " + std::to_string(commands) + (commands == 1 ? " command: " : " commands: ") + reason);
    connection.finished.store(true);
}

template <typename Stream>
std::string RuntimeServer::ServeFrames(Stream& stream, Wire::SocketStream& socket, ConnectionHandler& handler, int id,
                                       int& commands) {
    Wire::FrameReader reader(config_.maxFrameBytes, 64 * 1024, &budget_);
    std::vector<std::uint8_t> response;
    std::vector<std::uint8_t> scratch;
    Timer timer(*this, id);
    const bool timed = config_.callTimeout.count() > 0;
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
        if (timed) {
            // Written by the watchdog while this thread is still inside the handler, which leaves the stream alone.
            CommandHeader header = HeaderOf(frame.body, frame.length);
            Arm(id, [this, &stream, header] {
                std::vector<std::uint8_t> late, buffer;
                HostClient::Encoder::exceptionResponse(late, header,
                                                       "veltrix-server: the command did not finish within " +
                                                           std::to_string(config_.callTimeout.count()) +
                                                           " ms (--call-timeout-ms)");
                Wire::WriteFrame(stream, Wire::FrameKind::Response, late.data(),
                                 static_cast<std::uint32_t>(late.size()), buffer, config_.tls);
            });
        }
        // The reader's buffer is ours; the handler may change the command in place.
        handler.Execute(const_cast<std::uint8_t*>(frame.body), frame.length, response, timer);
        if (timed && !Disarm(id)) {
            return "the command did not finish within " + std::to_string(config_.callTimeout.count()) +
                   " ms (--call-timeout-ms)";
        }
        Wire::WriteFrame(stream, Wire::FrameKind::Response, response.data(),
                         static_cast<std::uint32_t>(response.size()), scratch, config_.tls);
        ++commands;
        if (response.capacity() > (1u << 20)) std::vector<std::uint8_t>().swap(response);
        handler.Answered();
    }
}

void RuntimeServer::Arm(int id, std::function<void()> answerLate) {
    std::lock_guard<std::mutex> lock(callsMutex_);
    calls_[id] = Call{Wire::Clock::now() + config_.callTimeout, std::move(answerLate), false};
}

void RuntimeServer::Restart(int id, bool running) {
    if (config_.callTimeout.count() == 0) return;
    std::lock_guard<std::mutex> lock(callsMutex_);
    auto it = calls_.find(id);
    if (it == calls_.end() || it->second.answered) return;
    it->second.deadline = running ? Wire::Clock::now() + config_.callTimeout : Wire::Clock::time_point::max();
}

bool RuntimeServer::Disarm(int id) {
    std::lock_guard<std::mutex> lock(callsMutex_);
    auto it = calls_.find(id);
    bool answered = it != calls_.end() && it->second.answered;
    if (it != calls_.end()) calls_.erase(it);
    return !answered;
}

// Wakes a few times per time-out; a command past its deadline gets its late answer here.
void RuntimeServer::Watch() {
    auto tick = std::clamp(config_.callTimeout / 10, Wire::Milliseconds(10), Wire::Milliseconds(100));
    std::unique_lock<std::mutex> lock(callsMutex_);
    while (!watchStop_) {
        std::vector<int> late;
        auto now = Wire::Clock::now();
        for (auto& [id, call] : calls_) {
            if (call.answered || call.deadline > now) continue;
            call.answered = true;
            try {
                call.answerLate();
            } catch (const std::exception& error) {
                Log("connection #" + std::to_string(id) + ": the late answer could not be sent: " + error.what());
            }
            late.push_back(id);
        }
        if (!late.empty()) {
            lock.unlock();
            for (int id : late) {
                Log("connection #" + std::to_string(id) + ": a command ran past --call-timeout-ms (" +
                    std::to_string(config_.callTimeout.count()) + " ms) and was answered with an exception");
                if (config_.onCallTimeout) config_.onCallTimeout(id);
            }
            lock.lock();
            continue;
        }
        callsChanged_.wait_for(lock, tick);
    }
}

}  // namespace VeltrixNS::Server
