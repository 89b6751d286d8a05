// Cost of the native outgoing path (transmitter, in-memory transport, another library's receiver) against
// a direct virtual call on that receiver, in one run; and, when the bridge exports it, the exported path.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "IReceiver.h"
#include "Library.h"
#include "TempProductTree.h"
#include "TransportHarness.h"

using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;

namespace {

// A command for runtime 0 (Clr) over the in-memory channel, from runtime 4 (Perl): just the header.
std::vector<byte> Command() {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 9};
}

// One product tree for the whole run: the stand-in as Clr and Perl runtimes, and the test library.
struct Setup {
    Setup() {
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixPerlRuntimeNative.dll");
        harness = std::make_unique<veltrix::test::Library>(
            tree.addNativeLibrary(TRANSPORT_HARNESS, "TransportHarness.dll").string());
        auto api = harness->get<TransportHarnessFn>("TransportHarness")();
        transmitter.reset(api->NewTransmitter(0));
        auto command = Command();
        transmitter->SendCommand(command.data(), static_cast<int32_t>(command.size()));  // loads and prepares
        clr = std::make_unique<veltrix::test::Library>((tree.nativeDir() / "VeltrixClrRuntimeNative.dll").string());
        clr->get<void (*)(int)>("StandinSetRecording")(0);
        receiver = clr->get<IReceiver* (*)(int32_t)>("CreateReceiver")(1);  // the same singleton the transport holds
    }

    veltrix::test::TempProductTree tree;
    std::unique_ptr<veltrix::test::Library> harness;
    std::unique_ptr<veltrix::test::Library> clr;
    std::unique_ptr<ITransmitter> transmitter;
    IReceiver* receiver = nullptr;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

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
    ITransmitter* transmitter = TheSetup().transmitter.get();
    auto command = Command();
    byte response[11];
    for (auto _ : state) {
        int length = transmitter->SendCommand(command.data(), 11);
        benchmark::DoNotOptimize(transmitter->ReadResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(TransmitterInMemory);

// The bridge's exported SendCommand and ReadResponse, in a tree of its own with the same stand-ins.
struct BridgeSetup {
    BridgeSetup() {
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixPerlRuntimeNative.dll");
        bridge = std::make_unique<veltrix::test::Library>(tree.addBridge().string());
        sendCommand = bridge->get<int (*)(byte*, int32_t)>("SendCommand");
        readResponse = bridge->get<int (*)(byte*, int32_t)>("ReadResponse");
        auto command = Command();
        if (sendCommand(command.data(), 11) != 11) std::fprintf(stderr, "bridge SendCommand failed\n");
        veltrix::test::Library clr((tree.nativeDir() / "VeltrixClrRuntimeNative.dll").string());
        clr.get<void (*)(int)>("StandinSetRecording")(0);
    }

    veltrix::test::TempProductTree tree;
    std::unique_ptr<veltrix::test::Library> bridge;
    int (*sendCommand)(byte*, int32_t) = nullptr;
    int (*readResponse)(byte*, int32_t) = nullptr;
};

void BridgeExports(benchmark::State& state) {
    static BridgeSetup setup;
    auto command = Command();
    byte response[11];
    for (auto _ : state) {
        int length = setup.sendCommand(command.data(), 11);
        benchmark::DoNotOptimize(setup.readResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BridgeExports);

}  // namespace

BENCHMARK_MAIN();
