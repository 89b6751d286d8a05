// NetworkSupport.cpp: certificates, environment, client libraries, the test server and the server process.
#include "NetworkSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/ssl.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace veltrix::test::network {

namespace {

fs::path MakeTempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

Certificates::Certificates() : dir_(MakeTempDir("veltrix-certs-")) {
    std::string d = dir_.string();
    auto key = [&](const std::string& name) {
        Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + d + "/" + name + ".key");
    };
    auto ca = [&](const std::string& name, const std::string& subject) {
        key(name);
        Run("openssl req -x509 -new -key " + d + "/" + name + ".key -out " + d + "/" + name +
            ".pem -days 2 -subj '/CN=" + subject +
            "' -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'");
    };
    auto leaf = [&](const std::string& name, const std::string& issuer, const std::string& subject,
                    const std::string& extensions) {
        key(name);
        std::ofstream(d + "/" + name + ".ext") << extensions << "\n";
        Run("openssl req -new -key " + d + "/" + name + ".key -out " + d + "/" + name + ".csr -subj '/CN=" + subject +
            "'");
        Run("openssl x509 -req -in " + d + "/" + name + ".csr -CA " + d + "/" + issuer + ".pem -CAkey " + d + "/" +
            issuer + ".key -CAcreateserial -out " + d + "/" + name + ".pem -days 2 -extfile " + d + "/" + name +
            ".ext");
    };
    const std::string server = "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth";
    ca("ca", "Veltrix Test CA");
    leaf("server", "ca", "localhost", server);
    leaf("client", "ca", "veltrix-test-client", "extendedKeyUsage=clientAuth");
    ca("rogue-ca", "Untrusted Test CA");
    leaf("rogue-server", "rogue-ca", "localhost", server);
    leaf("rogue-client", "rogue-ca", "rogue-client", "extendedKeyUsage=clientAuth");
}

Certificates::~Certificates() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ClientLibrary::ClientLibrary(bool tls)
    : library_(std::string(VELTRIX_NATIVE_DIR) + (tls ? "/VeltrixTcpTlsClient.dll" : "/VeltrixTcpClient.dll")) {
    create_ = library_.get<ITransport* (*)(std::string, unsigned short)>("CreateTransportChannel");
    // Channels may outlive this object; like the product, never unload a client library.
    library_.leak();
}

std::unique_ptr<ITransport> ClientLibrary::Channel(const std::string& address, unsigned short port) const {
    return std::unique_ptr<ITransport>(create_(address, port));
}

Bytes RoundTrip(ITransport& channel, const Bytes& command) {
    int length = channel.SendCommand(const_cast<std::uint8_t*>(command.data()), static_cast<int>(command.size()));
    Bytes response(static_cast<std::size_t>(length));
    int read = channel.ReadResponse(response.data(), length);
    if (read != length) throw std::runtime_error("ReadResponse copied " + std::to_string(read) + " bytes");
    return response;
}

Bytes Message(const std::string& body, std::uint8_t commandType) {
    const std::uint8_t header[11] = {4, 0, 1, 127, 0, 0, 1, 0, 0, 8, commandType};
    Bytes message(11 + body.size());
    std::memcpy(message.data(), header, 11);
    if (!body.empty()) std::memcpy(message.data() + 11, body.data(), body.size());
    return message;
}

std::string Text(const Bytes& bytes, std::size_t from) {
    return from >= bytes.size() ? std::string() : std::string(bytes.begin() + static_cast<long>(from), bytes.end());
}

Bytes Frame(Wire::FrameKind kind, const Bytes& body) {
    Bytes frame(Wire::Limits::FrameHeaderLength + body.size());
    Wire::EncodeHeader(frame.data(), kind, static_cast<std::uint32_t>(body.size()));
    if (!body.empty()) std::memcpy(frame.data() + Wire::Limits::FrameHeaderLength, body.data(), body.size());
    return frame;
}

TestServer::TestServer(Reply reply, const Certificates* tls, const std::string& clientCa) : reply_(std::move(reply)) {
    if (tls != nullptr) {
        tls_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        Wire::ConfigureServerContext(*tls_, {tls->Path("server.pem"), tls->Path("server.key"), clientCa});
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("test server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Loop(); });
}

TestServer::~TestServer() {
    std::uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    int fd = currentFd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
    ::close(stopFd_);
}

std::string TestServer::LastError() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return lastError_;
}

void TestServer::Loop() {
    for (;;) {
        pollfd watched[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) continue;
        if (watched[1].revents != 0) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        Wire::SocketStream socket(fd);
        socket.SetNoDelay();
        socket.SetWaitLimits(Wire::Milliseconds(10000), Wire::Milliseconds(10000));
        currentFd_ = fd;
        try {
            if (tls_) {
                asio::ssl::stream<Wire::SocketStream&> stream(socket, *tls_);
                asio::error_code ec;
                stream.handshake(asio::ssl::stream_base::server, ec);
                if (ec) {
                    std::lock_guard<std::mutex> lock(errorMutex_);
                    lastError_ = Wire::TlsFailureText(ec, stream.native_handle());
                } else {
                    ServeFrames(stream, socket);
                }
            } else {
                ServeFrames(socket, socket);
            }
        } catch (const std::exception&) {
            // The client went away; take the next one.
        }
        currentFd_ = -1;
    }
}

template <typename Stream>
void TestServer::ServeFrames(Stream& stream, Wire::SocketStream& socket) {
    Wire::FrameReader reader(Wire::Limits::DefaultMaxFrameBytes);
    Bytes command, response, scratch;
    for (;;) {
        Wire::FrameView frame = reader.Read(stream);
        command.assign(frame.body, frame.body + frame.length);
        response.clear();
        if (!reply_(command, socket, response)) return;
        Wire::WriteFrame(stream, Wire::FrameKind::Response, response.data(),
                         static_cast<std::uint32_t>(response.size()), scratch, tls_ != nullptr);
    }
}

ServerProcess::ServerProcess(std::vector<std::string> arguments) {
    logFile_ = MakeTempDir("veltrix-server-log-") / "stderr.txt";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        int log = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(log, 2);
        std::vector<char*> argv;
        std::string program = VELTRIX_SERVER_PROGRAM;
        argv.push_back(program.data());
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(out[1]);
    // First line: "listening on ADDRESS:PORT (TCP|TLS)".
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0 && ::read(out[0], &c, 1) == 1) {
        line += c;
    }
    ::close(out[0]);
    auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        Stop();
        throw std::runtime_error("veltrix-server did not start: '" + line + "', log: " + Log());
    }
    port_ = static_cast<unsigned short>(std::stoi(line.substr(colon + 1)));
}

ServerProcess::~ServerProcess() {
    Stop();
    std::error_code ignored;
    fs::remove_all(logFile_.parent_path(), ignored);
}

int ServerProcess::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

std::string ServerProcess::Log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServerProcess::WaitForLog(const std::string& text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

RawConnection::RawConnection(unsigned short port) {
    socket_.Connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port), Wire::Milliseconds(5000));
    socket_.SetWaitLimits(Wire::Milliseconds(10000), Wire::Milliseconds(10000));
}

void RawConnection::Send(const void* data, std::size_t size) {
    asio::error_code ec;
    asio::write(socket_, asio::buffer(data, size), ec);
    if (ec) Wire::ThrowStreamError(ec, "sending raw bytes");
}

std::pair<Wire::FrameKind, Bytes> RawConnection::ReadFrame(int timeoutMs) {
    socket_.SetReadDeadline(Wire::Clock::now() + Wire::Milliseconds(timeoutMs));
    Wire::FrameReader reader(Wire::Limits::LargestMessageBytes, 1024);
    Wire::FrameView frame = reader.Read(socket_);
    socket_.SetReadDeadline(std::nullopt);
    return {frame.kind, Bytes(frame.body, frame.body + frame.length)};
}

bool RawConnection::ClosedByPeer(int timeoutMs) {
    auto deadline = Wire::Clock::now() + Wire::Milliseconds(timeoutMs);
    std::uint8_t sink[4096];
    while (Wire::Clock::now() < deadline) {
        if (!socket_.WaitReadable(std::chrono::duration_cast<Wire::Milliseconds>(deadline - Wire::Clock::now()))) {
            return false;
        }
        ssize_t n = ::recv(socket_.Fd(), sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
    }
    return false;
}

}  // namespace veltrix::test::network
