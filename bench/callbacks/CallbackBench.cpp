// CallbackBench.cpp: Perl code calling a host function (one integer in, one out), through its sub and by name through
// Veltrix::Client, beside do-nothing XS calls and a pure-Perl sub doing the same; and the C++ runtime's receiver
// alone. The Perl figures come from loops of calls timed in thread CPU time; the loops take turns within every
// benchmark iteration, so that a busy machine weighs on them alike. Counters are nanoseconds per call with the empty
// loop's cost taken off, and the ratios of the host function's sub to the baselines.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "HostClient/PerlClient.h"
#include "IReceiver.h"

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;

namespace {

const char* const benchScript = R"PERL(
package CallbackBench;
use strict;
use warnings;
use List::Util ();
use Veltrix::Bridge::Native;
use Veltrix::Host;

my $cpp = Veltrix::Host::client();
sub inc { return $_[0] + 1 }
sub empty   { my $x; $x = 41 for 1 .. $_[0]; return $x }
# The bridge module's reference XS call (argument in as bytes, a copy out) and the cheapest XS call there is.
sub xs      { my $x; $x = Veltrix::Bridge::Native::_baseline(41) for 1 .. $_[0]; return $x }
sub xs_max  { my $x; $x = List::Util::max(41) for 1 .. $_[0]; return $x }
sub perl    { my $x; $x = inc(41) for 1 .. $_[0]; return $x }
sub host    { my $x; $x = main::inc_cpp(41) for 1 .. $_[0]; return $x }
sub by_name { my $x; $x = $cpp->invoke_global_method('main::inc_cpp', 41) for 1 .. $_[0]; return $x }
1;
)PERL";

constexpr int64_t CallsPerLoop = 2000;
const fs::path NativeDir = fs::path(VELTRIX_PRODUCT_DIR) / "Binaries/Native/Windows/X64";

PerlClient& perl() {
    static std::unique_ptr<PerlClient> client = [] {
        auto c = std::make_unique<PerlClient>(VELTRIX_PRODUCT_DIR);
        fs::path script = fs::temp_directory_path() / ("callback-bench-" + std::to_string(getpid()) + ".pl");
        std::ofstream(script) << benchScript;
        c->LoadLibrary(script.string());
        fs::remove(script);
        c->Define("main::inc_cpp", [](int64_t x) { return x + 1; });
        return c;
    }();
    return *client;
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void PerlCallsOneIntegerInOneOut(benchmark::State& state) {
    const std::string loops[] = {"empty", "xs", "xs_max", "perl", "host", "by_name"};
    for (const std::string& loop : loops) perl().CallFunction("CallbackBench::" + loop, {CallsPerLoop});
    std::map<std::string, double> seconds;
    for (auto _ : state) {
        for (const std::string& loop : loops) {
            double start = threadSeconds();
            Value last = perl().CallFunction("CallbackBench::" + loop, {CallsPerLoop});
            seconds[loop] += threadSeconds() - start;
            if ((loop == "perl" || loop == "host" || loop == "by_name") && last.asInt() != 42)
                state.SkipWithError("wrong result");
        }
    }
    auto ns = [&](const std::string& loop) {
        return (seconds[loop] - seconds["empty"]) * 1e9 / (static_cast<double>(state.iterations()) * CallsPerLoop);
    };
    for (const std::string& loop : loops) {
        if (loop != "empty") state.counters[loop + "_ns"] = ns(loop);
    }
    state.counters["host_per_xs"] = ns("host") / ns("xs");
    state.counters["host_per_xs_max"] = ns("host") / ns("xs_max");
    state.counters["host_per_perl"] = ns("host") / ns("perl");
}

// The C++ runtime's receiver alone: the message of main::inc_cpp(41), answered and read back.
void ReceiverAnswersOneIntegerInOneOut(benchmark::State& state) {
    perl();
    void* library = dlopen((NativeDir / "VeltrixCppRuntimeNative.dll").c_str(), RTLD_NOW | RTLD_NOLOAD);
    auto create =
        reinterpret_cast<VeltrixNS::Native::Interfaces::IReceiver* (*)(int32_t)>(dlsym(library, "CreateReceiver"));
    auto* receiver = create(1);
    std::vector<byte> message, response(64);
    VeltrixNS::Native::Definitions::CommandHeader header{.calledRuntime = CppRuntimeNumber,
                                                         .callingRuntime = PerlRuntimeNumber};
    Encoder::message(message, Command{CommandType::InvokeGlobalMethod, NoFlags, {"main::inc_cpp", 41}}, header);
    int n = 0;
    for (auto _ : state) {
        n = receiver->SendCommand(message.data(), static_cast<int32_t>(message.size()));
        receiver->ReadResponse(response.data(), n);
        benchmark::DoNotOptimize(response.data());
    }
    if (DecodeResponse({response.data(), static_cast<size_t>(n)}, nullptr).value != Value(42))
        state.SkipWithError("wrong result");
    dlclose(library);
}

BENCHMARK(ReceiverAnswersOneIntegerInOneOut);
BENCHMARK(PerlCallsOneIntegerInOneOut)->Iterations(100)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
