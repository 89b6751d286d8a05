// NetworkSupport.h: what the network tests share: client settings, channels of the client libraries,
// veltrix-server's core in this process with a fake handler, veltrix-server as a child process, raw connections.
#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "Certificates.h"
#include "ITransport.h"
#include "Library.h"
#include "RuntimeServer.h"
#include "Wire/FrameIo.h"

namespace veltrix::test::network {

using Bytes = std::vector<std::uint8_t>;
namespace Wire = VeltrixNS::Wire;
using VeltrixNS::Native::Interfaces::ITransport;
using VeltrixNS::Server::ServerConfig;
using namespace std::chrono_literals;

// The client libraries' settings, read at every connect: none but trust in the test CA, then `values`.
using Settings = std::vector<std::pair<const char*, std::string>>;
inline void UseClientSettings(const Settings& values = {}) {
    for (const char* name :
         {"VELTRIX_TCP_CONNECT_TIMEOUT_MS", "VELTRIX_TCP_IO_TIMEOUT_MS", "VELTRIX_TCP_MAX_FRAME_BYTES",
          "VELTRIX_TLS_CERT_FILE", "VELTRIX_TLS_KEY_FILE", "VELTRIX_TLS_SERVER_NAME"})
        unsetenv(name);
    setenv("VELTRIX_TLS_CA_FILE", Certificates::shared().path("ca.pem").c_str(), 1);
    for (const auto& [name, value] : values) setenv(name, value.c_str(), 1);
}

// A channel of VeltrixTcpClient.dll or VeltrixTcpTlsClient.dll from the staged product. Like the bridge, the
// tests never unload a client library: channels may outlive any one test.
inline std::unique_ptr<ITransport> Channel(bool tls, unsigned short port) {
    static auto load = [](const char* name) {
        Library library(std::string(VELTRIX_NATIVE_DIR) + name);
        auto create = library.get<ITransport* (*)(std::string, unsigned short)>("CreateTransportChannel");
        library.leak();
        return create;
    };
    static auto tcp = load("/VeltrixTcpClient.dll"), secure = load("/VeltrixTcpTlsClient.dll");
    return std::unique_ptr<ITransport>((tls ? secure : tcp)("127.0.0.1", port));
}

// One command through a channel; throws what the channel throws.
inline Bytes RoundTrip(ITransport& channel, Bytes command) {
    Bytes response(static_cast<std::size_t>(channel.SendCommand(command.data(), static_cast<int>(command.size()))));
    channel.ReadResponse(response.data(), static_cast<int>(response.size()));
    return response;
}

// What a shell command writes to standard output, and its wait status.
inline std::string Output(const std::string& command, int* status = nullptr) {
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    for (char line[256]; fgets(line, sizeof line, out) != nullptr;) text += line;
    int result = pclose(out);
    if (status != nullptr) *status = result;
    return text;
}

// The server side of TLS with the shared test certificates; `clientCa` requires client certificates.
inline ServerConfig TlsConfig(bool clientCa = false) {
    const Certificates& c = Certificates::shared();
    ServerConfig config;
    config.tls = true;
    config.tlsFiles = {c.path("server.pem"), c.path("server.key"), clientCa ? c.path("ca.pem") : ""};
    return config;
}

// veltrix-server's core in this process on a free loopback port, answering with `handler` (echo by default) on
// its connection threads, and keeping its connection lines.
class InProcessServer final : public VeltrixNS::Server::CommandHandler {
public:
    using Handler = std::function<void(const Bytes& command, Bytes& response)>;
    explicit InProcessServer(ServerConfig config = {}, Handler handler = nullptr) : handler_(std::move(handler)) {
        config.port = 0;
        config.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_ += line + "\n";
        };
        server_ = std::make_unique<VeltrixNS::Server::RuntimeServer>(config, *this);
        port_ = server_->Listen();
        thread_ = std::thread([this] { server_->Run(stop_); });
    }
    ~InProcessServer() override {
        std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
    }
    unsigned short Port() const { return port_; }
    std::string Log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    // How many connection lines hold `text`, and a wait (up to five seconds) until `times` do.
    int Count(const std::string& text) const {
        std::string log = Log();
        int n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    bool WaitForLog(const std::string& text, int times = 1) const {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms))
            if (Count(text) >= times) return true;
        return false;
    }
    std::unique_ptr<VeltrixNS::Server::ConnectionHandler> Connect(int) override {
        struct Echo final : VeltrixNS::Server::ConnectionHandler {
            const Handler& handler;
            explicit Echo(const Handler& h) : handler(h) {}
            void Execute(std::uint8_t* command, std::uint32_t length, Bytes& response,
                         VeltrixNS::Server::CallTimer&) override {
                Bytes in(command, command + length);
                handler ? handler(in, response) : response.swap(in);
            }
        };
        return std::make_unique<Echo>(handler_);
    }

private:
    Handler handler_;
    mutable std::mutex mutex_;
    std::string log_;
    int stop_ = ::eventfd(0, EFD_CLOEXEC);
    unsigned short port_ = 0;
    std::unique_ptr<VeltrixNS::Server::RuntimeServer> server_;
    std::thread thread_;
};

// A program as a child process, through a shell that prints its pid and then becomes the program; its standard
// error comes through the same pipe, and every line read from it is kept.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& command)
        : out_(popen(("echo $$; exec " + command + " 2>&1").c_str(), "r")) {
        pid_ = std::stoi(NextLine());
        log_.clear();
    }
    ~ChildProcess() { Stop(); }
    pid_t Pid() const { return pid_; }
    // SIGTERM; the wait status, and then Log() holds everything the program wrote.
    int Stop() {
        if (out_ == nullptr) return -1;
        ::kill(pid_, SIGTERM);
        while (!NextLine(30s).empty()) {
        }
        return pclose(std::exchange(out_, nullptr));
    }
    const std::string& Log() const { return log_; }
    // The next line holding `text` (waiting up to ten seconds for it), or "".
    std::string WaitFor(const std::string& text) {
        for (;;) {
            auto at = log_.find(text, scanned_);
            if (at != std::string::npos) {
                auto start = log_.rfind('\n', at) + 1, end = log_.find('\n', at);
                scanned_ = end + 1;
                return log_.substr(start, end - start);
            }
            scanned_ = log_.size();
            if (NextLine().empty()) return "";
        }
    }

protected:
    // The next whole line, kept in the log; "" at the end of the output or after `limit`.
    std::string NextLine(std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end + 1);
                pending_.erase(0, end + 1);
                log_ += line;
                return line;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fileno(out_), POLLIN, 0};
            char buffer[4096];
            ssize_t n = left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0
                            ? ::read(fileno(out_), buffer, sizeof buffer)
                            : 0;
            if (n <= 0) return "";
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    FILE* out_;
    pid_t pid_ = -1;
    std::string pending_, log_;
    std::size_t scanned_ = 0;
};

// veltrix-server as a child process, once it listens; Log() holds what it wrote after its first line.
class ServerProcess : public ChildProcess {
public:
    explicit ServerProcess(const std::string& arguments) : ChildProcess(VELTRIX_SERVER_PROGRAM " " + arguments) {
        std::string first = NextLine(30s);  // "listening on ADDRESS:PORT (TCP)"
        if (first.rfind("listening on ", 0) != 0) {
            Stop();
            throw std::runtime_error("veltrix-server did not start: " + first + log_);
        }
        port_ = static_cast<unsigned short>(std::stoi(first.substr(first.rfind(':') + 1)));
        log_.clear();
    }
    unsigned short Port() const { return port_; }

private:
    unsigned short port_ = 0;
};

// A plain loopback connection for any bytes.
class RawConnection {
public:
    explicit RawConnection(unsigned short port) {
        socket_.Connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port), 5000ms);
        socket_.SetWaitLimits(5000ms, 5000ms);
    }
    void Send(const Bytes& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    std::pair<Wire::FrameKind, std::string> ReadFrame() {
        Wire::FrameView frame = reader_.Read(socket_);
        return {frame.kind, std::string(frame.body, frame.body + frame.length)};
    }
    // True when the server closes the connection within five seconds.
    bool ClosedByPeer() {
        std::uint8_t sink[256];
        asio::error_code ec;
        while (!ec) socket_.read_some(asio::buffer(sink), ec);
        return ec == asio::error::eof || ec == asio::error::connection_reset;
    }

private:
    Wire::SocketStream socket_;
    Wire::FrameReader reader_{Wire::Limits::LargestMessageBytes};
};

inline Bytes Frame(Wire::FrameKind kind, const Bytes& body) {
    Bytes frame(Wire::Limits::FrameHeaderLength + body.size());
    Wire::EncodeHeader(frame.data(), kind, static_cast<std::uint32_t>(body.size()));
    if (!body.empty()) std::memcpy(frame.data() + Wire::Limits::FrameHeaderLength, body.data(), body.size());
    return frame;
}

}  // namespace veltrix::test::network
