// BridgeBench.cpp: what the exported entry points add on top of the objects they forward to, in one run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "Common/NativeExports.h"
#include "Library.h"
#include "TempProductTree.h"

namespace {

constexpr RuntimeOperationMode Called = RuntimeOperationMode::CalledRuntime;

// A command from Perl (4) to the stand-in Clr runtime (0) over the in-memory channel: just the header.
byte command[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 9};

// One bridge for the whole run, with the stand-in runtime beside it under the Clr and Perl library names.
struct Setup {
    Setup() {
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
        tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixPerlRuntimeNative.dll");
        bridge = std::make_unique<veltrix::test::Library>(tree.addBridge().string());
        sendCommand = bridge->get<SendCommandFn>("SendCommand");
        readResponse = bridge->get<ReadResponseFn>("ReadResponse");
        createReceiver = bridge->get<CreateReceiverFn>("CreateReceiver");
        // The first command creates the transmitter and loads the stand-in.
        if (sendCommand(command, 11) != 11) {
            const char* error = bridge->get<GetNativeErrorFn>("GetNativeError")();
            throw std::runtime_error(std::string("first command failed: ") + error);
        }
        transmitter = bridge->get<ITransmitter* (*)()>("GetTransmitter")();
        veltrix::test::Library clr((tree.nativeDir() / "VeltrixClrRuntimeNative.dll").string());
        clr.get<void (*)(int)>("StandinSetRecording")(0);
        createReceiver(Called);
        bridge->leak();
    }

    veltrix::test::TempProductTree tree;
    std::unique_ptr<veltrix::test::Library> bridge;
    SendCommandFn sendCommand = nullptr;
    ReadResponseFn readResponse = nullptr;
    CreateReceiverFn createReceiver = nullptr;
    ITransmitter* transmitter = nullptr;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: the transmitter's own SendCommand and ReadResponse.
void TransmitterDirect(benchmark::State& state) {
    ITransmitter* transmitter = TheSetup().transmitter;
    byte response[11];
    for (auto _ : state) {
        int length = transmitter->SendCommand(command, 11);
        benchmark::DoNotOptimize(transmitter->ReadResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(TransmitterDirect);

// The same command through the exports: start-up check, failure handler, atomic loads.
void ExportedSendCommand(benchmark::State& state) {
    Setup& setup = TheSetup();
    byte response[11];
    for (auto _ : state) {
        int length = setup.sendCommand(command, 11);
        benchmark::DoNotOptimize(setup.readResponse(response, length));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ExportedSendCommand);

// Baseline: a creation function that takes its lock on every call, as without the unlocked first check.
std::shared_mutex baselineLock;
std::atomic<void*> baselineObject{&baselineLock};

void CreateUnderLockEveryCall(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_lock<std::shared_mutex> lock(baselineLock);
        benchmark::DoNotOptimize(baselineObject.load(std::memory_order_acquire));
    }
}
BENCHMARK(CreateUnderLockEveryCall)->Threads(1)->Threads(2)->UseRealTime();

// CreateReceiver once the receiver exists: two atomic loads, no lock.
void CreateReceiverFastPath(benchmark::State& state) {
    CreateReceiverFn createReceiver = TheSetup().createReceiver;
    for (auto _ : state) benchmark::DoNotOptimize(createReceiver(Called));
}
BENCHMARK(CreateReceiverFastPath)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
