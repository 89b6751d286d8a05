// RemoteBench.cpp: a small call (List::Util::sum(1, 2, 3)) to Perl behind one veltrix-server over TCP: the C++
// remote client beside the Perl client (Veltrix::Client in a perl process) and beside a bare socket ping-pong of the
// same sizes, everything on the same placement (client and server on different cores when two are allowed).
// Counters: p50_us and p99_us of single calls.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "HostClient/PerlClient.h"

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Samples = 20000;

// Client on the first core the process may use, servers on the second.
std::pair<int, int> Cores() {
    return {GetPlacement().clientCpu, GetPlacement().serverCpu};
}

// Keeps the calling thread on a core for a scope (the in-process benchmarks run unpinned).
class PinnedScope {
public:
    explicit PinnedScope(int cpu) {
        sched_getaffinity(0, sizeof saved_, &saved_);
        Pin(cpu);
    }
    ~PinnedScope() { sched_setaffinity(0, sizeof saved_, &saved_); }
    PinnedScope(const PinnedScope&) = delete;
    PinnedScope& operator=(const PinnedScope&) = delete;

private:
    cpu_set_t saved_;
};

std::string PlacementLabel() {
    auto [client, server] = Cores();
    return client < 0 ? "one core"
                      : "client core " + std::to_string(client) + ", server core " + std::to_string(server);
}

// The one veltrix-server of the run, on the server core; its port.
unsigned short ServerPort() {
    static ServerProgram server({"--port", "0"}, Cores().second);
    if (server.Port() == 0) throw std::runtime_error("veltrix-server did not start: " + server.FirstLine());
    return server.Port();
}

void Report(benchmark::State& state, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros.empty() ? 0.0 : micros[static_cast<size_t>(q * (micros.size() - 1))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.SetLabel(PlacementLabel());
}

template <typename Call>
void Measure(benchmark::State& state, Call&& call) {
    std::vector<double> micros;
    micros.reserve(Samples);
    for (auto _ : state) {
        auto start = Clock::now();
        call();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Report(state, micros);
}

// The same call through the C++ remote client.
void Remote_CppClientSum(benchmark::State& state) {
    PinnedScope pinned(Cores().first);
    PerlClient remote = PerlClient::Connect({VELTRIX_PRODUCT_DIR, "127.0.0.1", ServerPort()});
    remote.LoadLibrary("List::Util");
    Measure(state, [&] {
        if (remote.CallFunction("List::Util::sum", {1, 2, 3}).asInt() != 6) state.SkipWithError("wrong sum");
    });
}

const char* const perlClientScript = R"PERL(
use strict;
use warnings;
use Time::HiRes qw(clock_gettime CLOCK_MONOTONIC);
use Veltrix::Client;
my ($port, $samples) = @ARGV;
my $perl = Veltrix::Client->new(runtime => 'Perl', channel => 'tcp', address => '127.0.0.1', port => $port);
$perl->load_library('List::Util');
my @micros;
for (1 .. $samples) {
    my $start = clock_gettime(CLOCK_MONOTONIC);
    $perl->invoke_global_method('List::Util::sum', 1, 2, 3) == 6 or die "wrong sum\n";
    push @micros, (clock_gettime(CLOCK_MONOTONIC) - $start) * 1e6;
}
@micros = sort { $a <=> $b } @micros;
print "$micros[int(0.5 * $#micros)] $micros[int(0.99 * $#micros)]\n";
)PERL";

// The same call from Perl's own client in a perl process on the client core; its figures, read once.
void Remote_PerlClientSum(benchmark::State& state) {
    fs::path script = fs::temp_directory_path() / ("remote-bench-" + std::to_string(getpid()) + ".pl");
    std::ofstream(script) << perlClientScript;
    double p50 = 0, p99 = 0;
    for (auto _ : state) {
        ChildProgram perl({VELTRIX_PERL, "-I", VELTRIX_PERL_LIB_DIR, script.string(), std::to_string(ServerPort()),
                           std::to_string(Samples)},
                          Cores().first, /*quiet=*/false);
        if (std::sscanf(perl.Line().c_str(), "%lf %lf", &p50, &p99) != 2) state.SkipWithError("the Perl client failed");
    }
    fs::remove(script);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.SetLabel(PlacementLabel());
}

// The floor: a socket ping-pong on the same cores with the same sizes (the command and the response of the call).
void Remote_BareSocketSum(benchmark::State& state) {
    std::vector<byte> command;
    Encoder::message(command, Command{CommandType::InvokeGlobalMethod, NoFlags, {"List::Util::sum", 1, 2, 3}});
    const size_t in = command.size(), out = VeltrixNS::Native::Definitions::Limits::HeaderLength + 9;
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    auto exactly = [](int fd, byte* data, size_t size, bool read) {
        while (size > 0) {
            ssize_t n = read ? ::recv(fd, data, size, 0) : ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    };
    std::thread server([&] {
        Pin(Cores().second);
        int fd = ::accept(listener, nullptr, nullptr);
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::vector<byte> buffer(std::max(in, out));
        while (exactly(fd, buffer.data(), in, true) && exactly(fd, buffer.data(), out, false)) {
        }
        ::close(fd);
    });
    PinnedScope pinned(Cores().first);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<byte> answer(out);
    Measure(state, [&] {
        if (!exactly(fd, command.data(), in, false) || !exactly(fd, answer.data(), out, true))
            state.SkipWithError("ping-pong failed");
    });
    ::close(fd);
    server.join();
    ::close(listener);
}

}  // namespace

BENCHMARK(Remote_BareSocketSum)->Iterations(Samples)->UseRealTime();
BENCHMARK(Remote_CppClientSum)->Iterations(Samples)->UseRealTime();
BENCHMARK(Remote_PerlClientSum)->Iterations(1)->UseRealTime();
