// HostingBench.cpp: C++ → Perl round trips (encode, SendCommand, ReadResponse, decode) against raw baselines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "HostClient/PerlClient.h"
#include "IReceiver.h"

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;

namespace {

const char* const benchScript = R"PERL(
package HostingBench;
use strict;
use warnings;
use Time::HiRes ();
use Veltrix::Core::Receiver::Receiver;

sub new { return bless {count => 3}, shift }
sub count { return $_[0]{count} }
sub length_of { return length $_[0] }

# The receiver module alone: one message (as bytes) run $n times inside Perl, seconds per run.
sub receiver_only {
    my ($message, $n) = @_;
    my @bytes = unpack('C*', $message);
    my $start = Time::HiRes::time();
    Veltrix::Core::Receiver::Receiver::send_command(undef, \@bytes) for 1 .. $n;
    return (Time::HiRes::time() - $start) / $n;
}
1;
)PERL";

// One interpreter per process: the client and the bench script are set up once.
PerlClient& perl() {
    static std::unique_ptr<PerlClient> client = [] {
        auto c = std::make_unique<PerlClient>(VELTRIX_PRODUCT_DIR);
        fs::path script = fs::temp_directory_path() / ("hosting-bench-" + std::to_string(getpid()) + ".pl");
        std::ofstream(script) << benchScript;
        c->LoadLibrary(script.string());
        fs::remove(script);
        c->LoadLibrary("List::Util");
        return c;
    }();
    return *client;
}

std::vector<byte> encoded(const Command& command) {
    std::vector<byte> out;
    Encoder::message(out, command);
    return out;
}

void rawRoundTrips(benchmark::State& state, std::vector<byte> message) {
    auto* receiver = perl().session().receiver();
    std::vector<byte> response(64);
    for (auto _ : state) {
        int n = receiver->SendCommand(message.data(), static_cast<int32_t>(message.size()));
        if (static_cast<size_t>(n) > response.size()) response.resize(static_cast<size_t>(n));
        receiver->ReadResponse(response.data(), n);
        benchmark::DoNotOptimize(response.data());
    }
}

const std::vector<byte> heartBeat = {4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 11, 0x31, 0x32};

Command sumCommand() {
    return Command{CommandType::InvokeGlobalMethod, NoFlags, {"List::Util::sum", 1, 2, 3}};
}

Handle& benchObject() {
    static Handle object = perl().CreateInstance("HostingBench");
    return object;
}

const Bytes& oneMiB() {
    static const Bytes data{std::string(1 << 20, '\xa5')};
    return data;
}

void Raw_HeartBeat(benchmark::State& state) {
    rawRoundTrips(state, heartBeat);
}
void Client_HeartBeat(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(perl().HeartBeat());
}

void Raw_Sum(benchmark::State& state) {
    rawRoundTrips(state, encoded(sumCommand()));
}
void Client_Sum(benchmark::State& state) {
    for (auto _ : state) {
        Value v = perl().CallFunction("List::Util::sum", {1, 2, 3});
        if (v.asInt() != 6) state.SkipWithError("wrong sum");
    }
}
// The receiver module's own share: the same message run in a loop inside Perl.
void PerlOnly_Sum(benchmark::State& state) {
    std::vector<byte> message = encoded(sumCommand());
    Bytes bytes{std::string(message.begin(), message.end())};
    for (auto _ : state) {
        double perRun = perl().CallFunction("HostingBench::receiver_only", {bytes, 1000}).asDouble();
        state.SetIterationTime(perRun);
    }
}

void Raw_Method(benchmark::State& state) {
    rawRoundTrips(state, encoded(Command{CommandType::InvokeInstanceMethod, NoFlags, {benchObject(), "count"}}));
}
void Client_Method(benchmark::State& state) {
    const Handle& object = benchObject();
    for (auto _ : state) {
        if (perl().CallMethod(object, "count").asInt() != 3) state.SkipWithError("wrong count");
    }
}

void Raw_OneMiB(benchmark::State& state) {
    rawRoundTrips(state,
                  encoded(Command{CommandType::InvokeGlobalMethod, NoFlags, {"HostingBench::length_of", oneMiB()}}));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}
void Client_OneMiB(benchmark::State& state) {
    for (auto _ : state) {
        if (perl().CallFunction("HostingBench::length_of", {oneMiB()}).asInt() != (1 << 20)) {
            state.SkipWithError("wrong length");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}

}  // namespace

BENCHMARK(Raw_HeartBeat);
BENCHMARK(Client_HeartBeat);
BENCHMARK(Raw_Sum);
BENCHMARK(Client_Sum);
BENCHMARK(PerlOnly_Sum)->UseManualTime()->Iterations(200);
BENCHMARK(Raw_Method);
BENCHMARK(Client_Method);
BENCHMARK(Raw_OneMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(Client_OneMiB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
