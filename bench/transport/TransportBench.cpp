// Cost of the native outgoing path (transmitter, in-memory transport, another library's receiver) against a
// direct virtual call on that receiver, in one run. The other library is the stand-in runtime, loaded for
// real; the transport finds it through the loader seam under the Clr and Perl library names.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "FakeLibraries.h"
#include "IReceiver.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Library.h"
#include "Messages.h"
#include "PerlNativeTransmitter.h"

using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::IReceiver;
using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

namespace {

// A command for runtime 0 (Clr) over the in-memory channel, from runtime 4 (Perl): just the header.
std::vector<byte> Command() {
    return veltrix::test::rawMessage(veltrix::test::CommandHeader{.callingRuntime = 4, .commandType = 9});
}

struct Setup {
    Setup() : standin(STANDIN_RUNTIME) {
        veltrix::test::FakeLibraries::Exports exports{{"CreateReceiver", standin.get<void*>("CreateReceiver")},
                                                      {"CreateTransmitter", standin.get<void*>("CreateTransmitter")}};
        libraries.Add(Finder::getRuntimeLibraryPath(0), exports);
        libraries.Add(Finder::getRuntimeLibraryPath(4), exports);
        standin.get<void (*)(int)>("StandinSetRecording")(0);
        auto command = Command();
        transmitter.SendCommand(command.data(), static_cast<int32_t>(command.size()));  // prepares the transport
        receiver = standin.get<IReceiver* (*)(RuntimeOperationMode)>("CreateReceiver")(
            RuntimeOperationMode::CalledRuntime);  // the singleton the transport holds
    }

    veltrix::test::Library standin;
    veltrix::test::FakeLibraries libraries;
    VeltrixNS::Runtimes::Perl::Native::Transmitter::PerlNativeTransmitter transmitter{
        RuntimeOperationMode::CallingRuntime};
    IReceiver* receiver = nullptr;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: the other library's receiver called directly.
void DirectReceiverCall(benchmark::State& state) {
    IReceiver* receiver = TheSetup().receiver;
    auto command = Command();
    byte response[11];
    for (auto _ : state) {
        int length = receiver->SendCommand(command.data(), 11);
        benchmark::DoNotOptimize(receiver->ReadResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(DirectReceiverCall);

void TransmitterInMemory(benchmark::State& state) {
    auto& transmitter = TheSetup().transmitter;
    auto command = Command();
    byte response[11];
    for (auto _ : state) {
        int length = transmitter.SendCommand(command.data(), 11);
        benchmark::DoNotOptimize(transmitter.ReadResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(TransmitterInMemory);

}  // namespace

BENCHMARK_MAIN();
