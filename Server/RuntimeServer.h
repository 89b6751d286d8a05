// RuntimeServer.h: accepts TCP or TLS connections and serves each frame as one command, in order per connection.
#pragma once
#include <asio/ssl.hpp>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CommandHandler.h"
#include "Wire/SocketStream.h"
#include "Wire/TlsSetup.h"
#include "Wire/WireProtocol.h"

namespace VeltrixNS::Server {

struct ServerConfig {
    std::string listenAddress = "127.0.0.1";
    unsigned short port = 8090;
    bool tls = false;
    Wire::TlsServerFiles tlsFiles;
    std::uint32_t maxFrameBytes = Wire::Limits::DefaultMaxFrameBytes;
    // A connection without a new command for this long is closed.
    Wire::Milliseconds idleTimeout{60000};
    // A frame (or handshake) that has started must be complete within this time; also bounds every write.
    Wire::Milliseconds ioTimeout{10000};
    int maxConnections = 256;
    // Takes each connection line, from several threads at once; empty: standard error.
    std::function<void(const std::string&)> log;
};

class RuntimeServer {
public:
    RuntimeServer(ServerConfig config, CommandHandler& handler);
    ~RuntimeServer();
    RuntimeServer(const RuntimeServer&) = delete;
    RuntimeServer& operator=(const RuntimeServer&) = delete;

    // Binds and listens; returns the port (useful with port 0). Throws std::runtime_error.
    unsigned short Listen();
    // Accepts until `stopFd` becomes readable, then closes every connection and waits for their threads.
    void Run(int stopFd);

private:
    struct Connection {
        int id;
        int fd;  // for shutdown from the accepting thread; the serving thread owns and closes it
        std::mutex closeMutex;
        bool closed = false;
        std::atomic<bool> finished{false};
        std::thread thread;
    };

    void Serve(Connection& connection);
    template <typename Stream>
    std::string ServeFrames(Stream& stream, Wire::SocketStream& socket, int& commands);
    void Reap(bool all);
    void Log(const std::string& line) const;

    ServerConfig config_;
    CommandHandler& handler_;
    std::optional<asio::ssl::context> tlsContext_;
    int listenFd_ = -1;
    int nextId_ = 1;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace VeltrixNS::Server
