// NetworkSupport.h: helpers for the network tests: certificates, environment, the client libraries, a framed
// test server inside the test, and veltrix-server as a child process.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ITransport.h"
#include "Library.h"
#include "Wire/FrameIo.h"
#include "Wire/SocketStream.h"
#include "Wire/TlsSetup.h"

namespace veltrix::test::network {

using Bytes = std::vector<std::uint8_t>;
namespace Wire = VeltrixNS::Wire;
using VeltrixNS::Native::Interfaces::ITransport;

// A temporary directory with a CA, a server certificate for 127.0.0.1 and localhost, a client certificate, and
// a second CA with its own server certificate that the first CA does not trust. Made with the openssl command.
class Certificates {
public:
    Certificates();
    ~Certificates();
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // ca.pem, server.pem, server.key, client.pem, client.key, rogue-ca.pem, rogue-server.pem, rogue-server.key

private:
    std::filesystem::path dir_;
};

// Sets (or with nullptr unsets) a variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

private:
    std::string name_;
    std::string old_;
    bool had_;
};

// VeltrixTcpClient.dll or VeltrixTcpTlsClient.dll from the staged product, loaded with dlopen.
class ClientLibrary {
public:
    explicit ClientLibrary(bool tls);
    std::unique_ptr<ITransport> Channel(const std::string& address, unsigned short port) const;

private:
    Library library_;
    ITransport* (*create_)(std::string, unsigned short) = nullptr;
};

// Sends one command through a channel and reads the response; throws what the channel throws.
Bytes RoundTrip(ITransport& channel, const Bytes& command);
// A message with an 11-byte header (calling runtime 8, called runtime 4) and `body`.
Bytes Message(const std::string& body, std::uint8_t commandType = 0);
std::string Text(const Bytes& bytes, std::size_t from = 0);

// A framed server inside the test: accepts on 127.0.0.1 port 0 and answers every command with `reply`
// (or does nothing when `reply` returns false, which closes the connection).
class TestServer {
public:
    using Reply = std::function<bool(const Bytes& command, Wire::SocketStream& socket, Bytes& response)>;
    TestServer(Reply reply, const Certificates* tls = nullptr, const std::string& clientCa = "");
    ~TestServer();
    unsigned short Port() const { return port_; }
    int Connections() const { return connections_.load(); }
    // The last TLS handshake failure seen by the server.
    std::string LastError() const;

private:
    void Loop();
    template <typename Stream>
    void ServeFrames(Stream& stream, Wire::SocketStream& socket);

    Reply reply_;
    std::unique_ptr<asio::ssl::context> tls_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    unsigned short port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<int> currentFd_{-1};
    mutable std::mutex errorMutex_;
    std::string lastError_;
    std::thread thread_;
};

// veltrix-server as a child process: standard output read for the port, standard error kept in a file.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> arguments);
    ~ServerProcess();
    unsigned short Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // Sends SIGTERM and waits (bounded); returns the exit status as from waitpid, or -1 on time-out.
    int Stop();
    // Everything the server wrote to standard error so far.
    std::string Log() const;
    // Waits (bounded) until the log holds `text`.
    bool WaitForLog(const std::string& text, int timeoutMs = 5000) const;

private:
    pid_t pid_ = -1;
    unsigned short port_ = 0;
    std::filesystem::path logFile_;
};

// A raw loopback connection for sending arbitrary bytes.
class RawConnection {
public:
    explicit RawConnection(unsigned short port);
    void Send(const void* data, std::size_t size);
    void Send(const Bytes& bytes) { Send(bytes.data(), bytes.size()); }
    // Reads one frame (kind and body) within the time limit; throws Wire::WireError.
    std::pair<Wire::FrameKind, Bytes> ReadFrame(int timeoutMs = 5000);
    // True when the server closed the connection within the time limit.
    bool ClosedByPeer(int timeoutMs = 5000);
    void Close() { socket_.Close(); }

private:
    Wire::SocketStream socket_;
};

Bytes Frame(Wire::FrameKind kind, const Bytes& body);

}  // namespace veltrix::test::network
