// RuntimeServer.h: accepts TCP or TLS connections (or takes them from a supervisor) and serves each frame as one
// command, in order per connection, one thread per connection.
#pragma once
#include <asio/ssl.hpp>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "CommandHandler.h"
#include "Wire/FrameIo.h"
#include "Wire/SocketStream.h"
#include "Wire/TlsSetup.h"
#include "Wire/WireProtocol.h"
#include "WorkerTable.h"

namespace VeltrixNS::Server {

// A command of this size becomes about a gigabyte of Perl values (an array of integers costs some 70 bytes per
// message byte), which a worker holds comfortably.
inline constexpr std::uint32_t kDefaultMaxCommandBytes = 16u << 20;

struct ServerConfig {
    std::string listenAddress = "127.0.0.1";
    unsigned short port = 8090;
    bool tls = false;
    Wire::TlsServerFiles tlsFiles;
    std::uint32_t maxFrameBytes = kDefaultMaxCommandBytes;
    // Frame buffers of all connections together, beyond their first 64 KiB each; with `bytesInFlight` the
    // counter is shared (by every worker process).
    std::uint64_t maxBytesInFlight = 256u << 20;
    std::atomic<std::uint64_t>* bytesInFlight = nullptr;
    // A connection without a new command for this long is closed.
    Wire::Milliseconds idleTimeout{60000};
    // A frame (or handshake) that has started must be complete within this time; also bounds every write.
    Wire::Milliseconds ioTimeout{10000};
    // A command running longer is answered with an Exception response and its connection closes; 0: no limit.
    Wire::Milliseconds callTimeout{0};
    // Runs after such a late answer has left (a worker process ends there).
    std::function<void(int connectionId)> onCallTimeout;
    int maxConnections = 256;
    // In a worker process: its load (connections handed over end here) and its name for the log lines.
    WorkerSlot* slot = nullptr;
    std::string workerName;
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
    int ListenFd() const { return listenFd_; }
    // Accepts until `stopFd` becomes readable, then drains: stops reading, lets running commands answer, and
    // waits for the connection threads.
    void Run(int stopFd);
    // The same for connections a supervisor hands over on `controlFd` (see Supervisor), until `stopFd` becomes
    // readable or the supervisor goes away.
    void ServeHandedOver(int controlFd, int stopFd);
    // Closes the listening socket (in a worker process, which never accepts).
    void CloseListener();
    const ServerConfig& Config() const { return config_; }

private:
    struct Connection {
        int id;
        int fd;  // for shutdown from the accepting thread; the serving thread owns and closes it
        std::mutex closeMutex;
        bool closed = false;
        std::atomic<bool> drained{false};  // shut for reading by the server's stop, not by the client
        std::atomic<bool> finished{false};
        std::thread thread;
    };
    struct Call {
        Wire::Clock::time_point deadline;
        std::function<void()> answerLate;
        bool answered = false;
    };
    class Timer;

    void Loop(int sourceFd, int stopFd, bool handedOver);
    void Start(int fd, int id);
    void Serve(Connection& connection);
    template <typename Stream>
    std::string ServeFrames(Stream& stream, Wire::SocketStream& socket, ConnectionHandler& handler, int id,
                            int& commands);
    void Reap(bool all);
    void Log(const std::string& line) const;
    void Watch();
    void Arm(int id, std::function<void()> answerLate);
    void Restart(int id, bool running);
    bool Disarm(int id);

    ServerConfig config_;
    CommandHandler& handler_;
    std::optional<asio::ssl::context> tlsContext_;
    std::atomic<std::uint64_t> ownBytesInFlight_{0};
    Wire::BufferBudget budget_;
    int listenFd_ = -1;
    int nextId_ = 1;
    std::list<std::unique_ptr<Connection>> connections_;
    std::mutex callsMutex_;
    std::condition_variable callsChanged_;
    std::map<int, Call> calls_;
    bool watchStop_ = false;
    std::thread watchdog_;
};

}  // namespace VeltrixNS::Server
