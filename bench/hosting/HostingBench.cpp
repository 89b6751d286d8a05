// HostingBench.cpp: C++ → Perl round trips through the host client beside the bare embedding API on the same
// interpreter (call_pv, call_method) and the launcher's own echo of a message of the same size; the client from
// 1, 2 and 8 threads beside call_pv under a plain mutex.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "HostClient/PerlClient.h"
#include "IReceiver.h"

// The baselines call Perl directly; perl.h comes last because of its many short macros.
#include <EXTERN.h>
#include <perl.h>

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;

namespace {

const char* const benchScript = R"PERL(
package HostingBench;
use strict;
use warnings;

sub new { return bless {count => 3}, shift }
sub count { return $_[0]{count} }
sub echo { return $_[0] }
our $Object = HostingBench->new;
sub object { return $Object }

# The launcher's own echo: the receiver's send_command swapped for one that returns the message array.
my $receiver;
sub echo_messages {
    no warnings 'redefine';
    $receiver //= \&Veltrix::Core::Receiver::Receiver::send_command;
    *Veltrix::Core::Receiver::Receiver::send_command = $_[0] ? sub { $_[1] } : $receiver;
}
1;
)PERL";

// Set from the bridge's interpreter once it runs; perl.h's macros refer to it by this name.
PerlInterpreter* my_perl = nullptr;

// One interpreter per process: the client and the bench script are set up once.
PerlClient& perl() {
    static std::unique_ptr<PerlClient> client = [] {
        auto c = std::make_unique<PerlClient>(VELTRIX_PRODUCT_DIR);
        fs::path script = fs::temp_directory_path() / ("hosting-bench-" + std::to_string(getpid()) + ".pl");
        std::ofstream(script) << benchScript;
        c->LoadLibrary(script.string());
        fs::remove(script);
        c->LoadLibrary("List::Util");
        my_perl = static_cast<PerlInterpreter*>(PERL_GET_INTERP);
        return c;
    }();
    return *client;
}

std::vector<byte> encoded(const Command& command) {
    std::vector<byte> out;
    Encoder::message(out, command);
    return out;
}

const Handle& benchObject() {
    static Handle object = perl().CallFunction("HostingBench::object").asHandle();
    return object;
}

// The message through the exported receiver functions, without the client.
void rawRoundTrips(benchmark::State& state, const std::vector<byte>& message) {
    auto* receiver = perl().session().receiver();
    std::vector<byte> response(64);
    // Once before timing: the interpreter grows its arenas for a large message the first time only.
    receiver->SendCommand(const_cast<byte*>(message.data()), static_cast<int32_t>(message.size()));
    for (auto _ : state) {
        int n = receiver->SendCommand(const_cast<byte*>(message.data()), static_cast<int32_t>(message.size()));
        if (static_cast<size_t>(n) > response.size()) response.resize(static_cast<size_t>(n));
        receiver->ReadResponse(response.data(), n);
        benchmark::DoNotOptimize(response.data());
    }
}

// The bare embedding API: List::Util::sum(1, 2, 3) with three IVs pushed and the IV popped.
IV BareSum() {
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    mXPUSHi(1);
    mXPUSHi(2);
    mXPUSHi(3);
    PUTBACK;
    call_pv("List::Util::sum", G_SCALAR);
    SPAGAIN;
    IV sum = POPi;
    PUTBACK;
    FREETMPS;
    LEAVE;
    return sum;
}

void Bare_CallPvSum(benchmark::State& state) {
    perl();
    PERL_SET_CONTEXT(my_perl);
    for (auto _ : state) {
        if (BareSum() != 6) state.SkipWithError("wrong sum");
    }
}

void Client_Sum(benchmark::State& state) {
    perl().CallFunction("List::Util::sum", {1, 2, 3});
    for (auto _ : state) {
        if (perl().CallFunction("List::Util::sum", {1, 2, 3}).asInt() != 6) state.SkipWithError("wrong sum");
    }
}

// Threads calling through the client at once: calls_per_s is the total of all threads.
void Threads_ClientSum(benchmark::State& state) {
    PerlClient& client = perl();
    for (auto _ : state) {
        if (client.CallFunction("List::Util::sum", {1, 2, 3}).asInt() != 6) state.SkipWithError("wrong sum");
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The floor for threads: the bare call_pv, serialised by a mutex of the caller's own.
void Threads_BareCallPvSum(benchmark::State& state) {
    perl();
    static std::mutex lock;
    for (auto _ : state) {
        std::lock_guard guard(lock);
        PERL_SET_CONTEXT(my_perl);
        if (BareSum() != 6) state.SkipWithError("wrong sum");
    }
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

Command sumCommand() {
    return Command{CommandType::InvokeGlobalMethod, NoFlags, {"List::Util::sum", 1, 2, 3}};
}

void Raw_Sum(benchmark::State& state) {
    rawRoundTrips(state, encoded(sumCommand()));
}

void Raw_HeartBeat(benchmark::State& state) {
    rawRoundTrips(state, {4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 11, 0x31, 0x32});
}

// The bare embedding API: $object->count on the object the client calls by handle.
void Bare_CallMethod(benchmark::State& state) {
    benchObject();
    PERL_SET_CONTEXT(my_perl);
    SV* object = get_sv("HostingBench::Object", 0);
    for (auto _ : state) {
        dSP;
        ENTER;
        SAVETMPS;
        PUSHMARK(SP);
        XPUSHs(object);
        PUTBACK;
        call_method("count", G_SCALAR);
        SPAGAIN;
        IV count = POPi;
        PUTBACK;
        FREETMPS;
        LEAVE;
        if (count != 3) state.SkipWithError("wrong count");
    }
}

void Client_Method(benchmark::State& state) {
    const Handle& object = benchObject();
    perl().CallMethod(object, "count");
    for (auto _ : state) {
        if (perl().CallMethod(object, "count").asInt() != 3) state.SkipWithError("wrong count");
    }
}

Value largeValue(int64_t size, bool text) {
    if (!text) {
        std::string bytes(static_cast<size_t>(size), '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
        return Bytes{bytes};
    }
    std::string utf8;  // two-byte characters with ASCII between them: the validator's slow and fast paths
    while (static_cast<int64_t>(utf8.size()) + 3 <= size) utf8 += "\xc3\xa9z";
    utf8.append(static_cast<size_t>(size) - utf8.size(), 'a');
    return utf8;
}

Command echoCommand(const benchmark::State& state) {
    return Command{CommandType::InvokeGlobalMethod,
                   NoFlags,
                   {"HostingBench::echo", largeValue(state.range(0), state.range(1) != 0)}};
}

// A large string (range 1: 1) or byte string (0) echoed by a Perl sub through the client.
void Client_Echo(benchmark::State& state) {
    Command command = echoCommand(state);
    Value back = perl().Execute(command);
    for (auto _ : state) back = perl().Execute(command);
    if (!(back == *command.args[1].value())) state.SkipWithError("echo differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The same message through the receiver's exported functions, without the client's encoding and decoding.
void Raw_Echo(benchmark::State& state) {
    rawRoundTrips(state, encoded(echoCommand(state)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The floor the array-of-integers contract sets: the same message, answered by a send_command that returns
// the launcher's array unchanged.
void launcherEcho(benchmark::State& state, const std::vector<byte>& message) {
    perl();
    PERL_SET_CONTEXT(my_perl);
    eval_pv("HostingBench::echo_messages(1)", TRUE);
    rawRoundTrips(state, message);
    PERL_SET_CONTEXT(my_perl);
    eval_pv("HostingBench::echo_messages(0)", TRUE);
}

void Launcher_Echo(benchmark::State& state) {
    launcherEcho(state, encoded(echoCommand(state)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The same floor for the sum's message.
void Launcher_EchoSum(benchmark::State& state) {
    launcherEcho(state, encoded(sumCommand()));
}

void largeSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : {int64_t(1) << 20, int64_t(16) << 20})
        for (int64_t text : {1, 0}) b->Args({size, text});
    b->Unit(benchmark::kMillisecond)->MinTime(1.0);
}

}  // namespace

BENCHMARK(Bare_CallPvSum);
BENCHMARK(Client_Sum);
BENCHMARK(Threads_ClientSum)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(Threads_BareCallPvSum)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(Raw_Sum);
BENCHMARK(Raw_HeartBeat);
BENCHMARK(Launcher_EchoSum);
BENCHMARK(Bare_CallMethod);
BENCHMARK(Client_Method);
BENCHMARK(Launcher_Echo)->Apply(largeSizes);
BENCHMARK(Raw_Echo)->Apply(largeSizes);
BENCHMARK(Client_Echo)->Apply(largeSizes);

BENCHMARK_MAIN();
