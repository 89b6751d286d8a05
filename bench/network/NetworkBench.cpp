// NetworkBench.cpp: round trips through the TCP and TLS client libraries, each beside a bare socket ping-pong
// of the same size on the same placement (the floor). Run it as is (client and server threads on different
// cores when two are allowed) and under `taskset -c 0` (everything on one core).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Certificates.h"
#include "ChildProgram.h"
#include "Definitions/commandHeader.h"
#include "ITransport.h"
#include "Wire/FrameIo.h"
#include "Wire/SocketStream.h"
#include "Wire/TlsSetup.h"

namespace {

namespace Wire = VeltrixNS::Wire;
using VeltrixNS::Native::Interfaces::ITransport;
using Bytes = std::vector<std::uint8_t>;
using veltrix::test::Certificates;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeartBeatBytes = VeltrixNS::Native::Definitions::HeartBeatLength;
constexpr std::size_t kMiB = 1u << 20;
constexpr std::size_t kAckBytes = VeltrixNS::Native::Definitions::Limits::HeaderLength;

// ---- certificates ----------------------------------------------------------------------------------------------

// The tests' throw-away certificates; the client libraries trust their CA.
const Certificates& Certs() {
    static const bool trusted = setenv("VELTRIX_TLS_CA_FILE", Certificates::shared().path("ca.pem").c_str(), 1) == 0;
    (void)trusted;
    return Certificates::shared();
}

// ---- servers inside the benchmark ------------------------------------------------------------------------------

// Accepts on 127.0.0.1 and runs `serve(fd)` on a thread of its own per connection, pinned to the server core.
class BenchServer {
public:
    explicit BenchServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), l) != 0 || ::listen(fd_, 128) != 0) {
            throw std::runtime_error("bench server cannot listen");
        }
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] {
            for (;;) {
                int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                int on = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                std::lock_guard<std::mutex> lock(mutex_);
                open_.push_back(c);
                workers_.emplace_back([this, c] {
                    Pin(GetPlacement().serverCpu);
                    try {
                        serve_(c);
                    } catch (const std::exception&) {
                    }
                });
            }
        });
    }
    ~BenchServer() {
        ::shutdown(fd_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (int c : open_) ::shutdown(c, SHUT_RDWR);
        }
        for (auto& w : workers_) w.join();
        for (int c : open_) ::close(c);
        ::close(fd_);
    }
    unsigned short Port() const { return port_; }

private:
    std::function<void(int)> serve_;
    int fd_;
    unsigned short port_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> open_;
    std::list<std::thread> workers_;
};

bool ReadExactly(int fd, void* data, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteExactly(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Bare floor: read `in` bytes, answer `out` bytes.
void ServeBare(int fd, std::size_t in, std::size_t out) {
    Bytes buffer(std::max(in, out), 0x31);
    while (ReadExactly(fd, buffer.data(), in) && WriteExactly(fd, buffer.data(), out)) {
    }
}

SSL_CTX* ServerSslContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_num_tickets(c, 0);
        SSL_CTX_use_certificate_chain_file(c, Certs().path("server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(c, Certs().path("server.key").c_str(), SSL_FILETYPE_PEM);
        return c;
    }();
    return context;
}

// Bare TLS floor: OpenSSL straight on a blocking socket.
void ServeBareTls(int fd, std::size_t in, std::size_t out) {
    SSL* ssl = SSL_new(ServerSslContext());
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        Bytes buffer(std::max(in, out), 0x31);
        for (;;) {
            std::size_t got = 0;
            while (got < in) {
                int n = SSL_read(ssl, buffer.data() + got, static_cast<int>(in - got));
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            if (got < in || SSL_write(ssl, buffer.data(), static_cast<int>(out)) <= 0) break;
        }
    }
    SSL_free(ssl);
}

// Framed server with the product's wire layer: answers every command with `responseBytes` bytes (a heartbeat
// answer copies the command's 13 bytes).
asio::ssl::context& FramedTlsContext() {
    static asio::ssl::context* context = [] {
        static asio::ssl::context c(asio::ssl::context::tls_server);
        Wire::ConfigureServerContext(c, {Certs().path("server.pem"), Certs().path("server.key"), ""});
        return &c;
    }();
    return *context;
}

void ServeFramed(int fd, bool tls, std::size_t responseBytes) {
    Wire::SocketStream socket(::dup(fd));
    Wire::FrameReader reader(Wire::Limits::DefaultMaxFrameBytes);
    Bytes response(responseBytes, 0), scratch;
    auto loop = [&](auto& stream) {
        for (;;) {
            Wire::FrameView frame = reader.Read(stream);
            std::memcpy(response.data(), frame.body, std::min<std::size_t>(frame.length, responseBytes));
            Wire::WriteFrame(stream, Wire::FrameKind::Response, response.data(),
                             static_cast<std::uint32_t>(responseBytes), scratch, tls);
        }
    };
    if (tls) {
        asio::ssl::stream<Wire::SocketStream&> stream(socket, FramedTlsContext());
        stream.handshake(asio::ssl::stream_base::server);
        loop(stream);
    } else {
        loop(socket);
    }
}

// ---- clients ---------------------------------------------------------------------------------------------------

ITransport* NewChannel(bool tls, unsigned short port) {
    static void* tcp = dlopen(VELTRIX_NATIVE_DIR "/VeltrixTcpClient.dll", RTLD_NOW);
    static void* tlsLibrary = dlopen(VELTRIX_NATIVE_DIR "/VeltrixTcpTlsClient.dll", RTLD_NOW);
    void* library = tls ? tlsLibrary : tcp;
    if (library == nullptr) throw std::runtime_error("client library missing");
    auto create =
        reinterpret_cast<ITransport* (*)(std::string, unsigned short)>(dlsym(library, "CreateTransportChannel"));
    return create("127.0.0.1", port);
}

int ConnectBare(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// A heartbeat from C++ to Perl over the TCP channel (the servers here ignore the address and port).
Bytes HeartBeat() {
    auto message = VeltrixNS::Native::Definitions::HeartBeatMessage(4, 0, 8);
    auto header = VeltrixNS::Native::Definitions::CommandHeader::Read(message.data());
    header.channelType = 1;
    header.address = {127, 0, 0, 1};
    header.Write(message.data());
    return Bytes(message.begin(), message.end());
}

// Latency samples per benchmark thread; p50/p99 averaged over threads.
void Report(benchmark::State& state, std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty() ? 0.0 : samples[static_cast<std::size_t>(q * (samples.size() - 1))];
    };
    state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
    state.counters["rt_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(GetPlacement().name);
}

template <typename Step>
void Measure(benchmark::State& state, Step&& step) {
    std::vector<double> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        auto start = Clock::now();
        step();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Report(state, samples);
}

// A server made once per process for each kind, reused by every run of that kind.
std::unique_ptr<BenchServer> bareHeartBeat, bareTlsHeartBeat, framedHeartBeat, framedTlsHeartBeat, bareMiB, framedMiB,
    bareTlsMiB, framedTlsMiB;

BenchServer& ServerFor(std::unique_ptr<BenchServer>& slot, std::function<void(int)> serve) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (!slot) slot = std::make_unique<BenchServer>(std::move(serve));
    return *slot;
}

// ---- benchmarks ------------------------------------------------------------------------------------------------

void BM_BareHeartBeat(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(bareHeartBeat, [](int fd) { ServeBare(fd, kHeartBeatBytes, kHeartBeatBytes); });
    int fd = ConnectBare(server.Port());
    Bytes message = HeartBeat(), answer(kHeartBeatBytes);
    Measure(state, [&] {
        WriteExactly(fd, message.data(), message.size());
        ReadExactly(fd, answer.data(), answer.size());
    });
    ::close(fd);
}

void BM_TcpClientHeartBeat(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(framedHeartBeat, [](int fd) { ServeFramed(fd, false, kHeartBeatBytes); });
    std::unique_ptr<ITransport> channel(NewChannel(false, server.Port()));
    Bytes message = HeartBeat(), answer(kHeartBeatBytes);
    channel->Initialize(8, 4, 0);
    Measure(state, [&] {
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        channel->ReadResponse(answer.data(), n);
    });
}

void BM_BareTlsHeartBeat(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(bareTlsHeartBeat, [](int fd) { ServeBareTls(fd, kHeartBeatBytes, kHeartBeatBytes); });
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_load_verify_locations(c, Certs().path("ca.pem").c_str(), nullptr);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        return c;
    }();
    int fd = ConnectBare(server.Port());
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
        state.SkipWithError("bare TLS handshake failed");
        SSL_free(ssl);
        ::close(fd);
        return;
    }
    Bytes message = HeartBeat(), answer(kHeartBeatBytes);
    Measure(state, [&] {
        SSL_write(ssl, message.data(), static_cast<int>(message.size()));
        std::size_t got = 0;
        while (got < answer.size()) {
            int n = SSL_read(ssl, answer.data() + got, static_cast<int>(answer.size() - got));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    });
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(fd);
}

void BM_TlsClientHeartBeat(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    Certs();
    auto& server = ServerFor(framedTlsHeartBeat, [](int fd) { ServeFramed(fd, true, kHeartBeatBytes); });
    std::unique_ptr<ITransport> channel(NewChannel(true, server.Port()));
    Bytes message = HeartBeat(), answer(kHeartBeatBytes);
    channel->Initialize(8, 4, 0);
    Measure(state, [&] {
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        channel->ReadResponse(answer.data(), n);
    });
}

void BM_TlsHandshake(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    Certs();
    auto& server = ServerFor(framedTlsHeartBeat, [](int fd) { ServeFramed(fd, true, kHeartBeatBytes); });
    Measure(state, [&] {
        std::unique_ptr<ITransport> channel(NewChannel(true, server.Port()));
        channel->Initialize(8, 4, 0);
    });
}

void BM_BareMiB(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(bareMiB, [](int fd) { ServeBare(fd, kMiB, kAckBytes); });
    int fd = ConnectBare(server.Port());
    Bytes message(kMiB, 0x5a), answer(kAckBytes);
    Measure(state, [&] {
        WriteExactly(fd, message.data(), message.size());
        ReadExactly(fd, answer.data(), answer.size());
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
    ::close(fd);
}

void BM_TcpClientMiB(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(framedMiB, [](int fd) { ServeFramed(fd, false, kAckBytes); });
    std::unique_ptr<ITransport> channel(NewChannel(false, server.Port()));
    Bytes message(kMiB, 0x5a), answer(kAckBytes);
    Measure(state, [&] {
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        channel->ReadResponse(answer.data(), n);
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

void BM_BareTlsMiB(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    auto& server = ServerFor(bareTlsMiB, [](int fd) { ServeBareTls(fd, kMiB, kAckBytes); });
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(c, Certs().path("ca.pem").c_str(), nullptr);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        return c;
    }();
    int fd = ConnectBare(server.Port());
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    SSL_connect(ssl);
    Bytes message(kMiB, 0x5a), answer(kAckBytes);
    Measure(state, [&] {
        std::size_t sent = 0;
        while (sent < message.size()) {
            int n = SSL_write(ssl, message.data() + sent, static_cast<int>(message.size() - sent));
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        std::size_t got = 0;
        while (got < answer.size()) {
            int n = SSL_read(ssl, answer.data() + got, static_cast<int>(answer.size() - got));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
    SSL_free(ssl);
    ::close(fd);
}

void BM_TlsClientMiB(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    Certs();
    auto& server = ServerFor(framedTlsMiB, [](int fd) { ServeFramed(fd, true, kAckBytes); });
    std::unique_ptr<ITransport> channel(NewChannel(true, server.Port()));
    Bytes message(kMiB, 0x5a), answer(kAckBytes);
    Measure(state, [&] {
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        channel->ReadResponse(answer.data(), n);
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

// ---- through veltrix-server and the real Perl runtime (heartbeat; when the product can serve it) ---------------

void BM_PerlServerHeartBeat(benchmark::State& state) {
    Pin(GetPlacement().clientCpu);
    static ServerProgram server({"--port", "0"}, GetPlacement().serverCpu);
    if (server.Port() == 0) {
        state.SkipWithError("veltrix-server did not start");
        return;
    }
    std::unique_ptr<ITransport> channel(NewChannel(false, server.Port()));
    Bytes message = HeartBeat(), answer(64);
    try {
        channel->Initialize(8, 4, 0);
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        if (n < static_cast<int>(kAckBytes) || n > 64)
            throw std::runtime_error("unexpected heartbeat answer of " + std::to_string(n) + " bytes");
        channel->ReadResponse(answer.data(), n);
        if (VeltrixNS::Native::Definitions::MessageCommandType(answer.data()) !=
            VeltrixNS::Native::Definitions::CommandType::HeartBeat)
            throw std::runtime_error("the Perl runtime did not answer the heartbeat");
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    Measure(state, [&] {
        int n = channel->SendCommand(message.data(), static_cast<int>(message.size()));
        channel->ReadResponse(answer.data(), n);
    });
}

}  // namespace

BENCHMARK(BM_BareHeartBeat)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(BM_TcpClientHeartBeat)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(BM_BareTlsHeartBeat)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(BM_TlsClientHeartBeat)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(BM_PerlServerHeartBeat)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_TlsHandshake)->UseRealTime();
BENCHMARK(BM_BareMiB)->UseRealTime();
BENCHMARK(BM_TcpClientMiB)->UseRealTime();
BENCHMARK(BM_BareTlsMiB)->UseRealTime();
BENCHMARK(BM_TlsClientMiB)->UseRealTime();

BENCHMARK_MAIN();
