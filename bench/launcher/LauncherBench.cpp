// LauncherBench.cpp: cost of one command through the exported launcher functions against the bare
// embedding API (argument array sized once, or grown one element at a time) on the same interpreter.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LauncherTestSupport.h"
#include "Library.h"
#include "Messages.h"
#include "TempProductTree.h"

// The baselines call Perl directly; perl.h comes last because of its many short macros.
#include <EXTERN.h>
#include <perl.h>

using namespace veltrix::test;

namespace {

// Set from the launcher's interpreter once it is running; perl.h's macros refer to it by this name.
PerlInterpreter* my_perl = nullptr;

const char* const echoRoutine = "Veltrix::Core::Receiver::Receiver::send_command";

// One product tree, one bridge and one interpreter for the whole program.
struct Setup {
    Setup() {
        tree.writeReceiverModule("package Veltrix::Core::Receiver::Receiver;\nsub send_command { return $_[1] }\n1;\n");
        library = std::make_unique<Library>(tree.addBridge().string(), RTLD_NOW | RTLD_LOCAL);
        api = std::make_unique<LauncherExports>(*library);
        handle = api->create(Called);
        api->initialize(handle, 0);
        api->setInitialized(handle);
        // The launcher makes its interpreter current for this thread on every command.
        std::vector<byte> message = rawMessage(CommandHeader{}, {1});
        api->exchange(handle, message);
        my_perl = static_cast<PerlInterpreter*>(PERL_GET_CONTEXT);
    }
    // Ends the interpreter through the launcher; the bridge itself stays loaded until the process ends.
    ~Setup() {
        api->destroy(handle);
        my_perl = nullptr;
        library->leak();
    }
    Setup(const Setup&) = delete;
    Setup& operator=(const Setup&) = delete;

    TempProductTree tree;
    std::unique_ptr<Library> library;
    std::unique_ptr<LauncherExports> api;
    VeltrixPerlLauncherHandle handle = nullptr;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

std::vector<byte> randomMessage(size_t length) {
    std::mt19937 generator(42);
    std::vector<byte> message = rawMessage(CommandHeader{});
    message.resize(static_cast<size_t>(length));
    for (size_t i = 11; i < length; ++i) message[i] = static_cast<byte>(generator());
    return message;
}

// The least a careful embedder does for one echo: array in, call, array out, response copied.
int baselineCommand(const std::vector<byte>& message, std::vector<unsigned char>& response, byte* out, bool presized) {
    PERL_SET_CONTEXT(my_perl);
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(&PL_sv_undef);
    const SSize_t length = static_cast<SSize_t>(message.size());
    AV* array;
    if (presized) {
        array = newAV_alloc_x(length);
        for (SSize_t i = 0; i < length; ++i) av_push_simple(array, newSViv(message[i]));
    } else {
        array = newAV();
        for (SSize_t i = 0; i < length; ++i) av_push(array, newSViv(message[i]));
    }
    XPUSHs(sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(array))));
    PUTBACK;
    int count = call_pv(echoRoutine, G_EVAL | G_LIST);
    SPAGAIN;
    SV* result = count > 0 ? POPs : nullptr;
    int responseLength = -1;
    if (result != nullptr && SvROK(result) && SvTYPE(SvRV(result)) == SVt_PVAV) {
        AV* responseArray = reinterpret_cast<AV*>(SvRV(result));
        responseLength = static_cast<int>(av_len(responseArray) + 1);
        response.resize(static_cast<size_t>(responseLength));
        for (int i = 0; i < responseLength; ++i) {
            SV** element = av_fetch(responseArray, i, 0);
            response[static_cast<size_t>(i)] = element != nullptr ? static_cast<unsigned char>(SvIV(*element)) : 0;
        }
        std::copy(response.begin(), response.end(), out);
    }
    PUTBACK;
    FREETMPS;
    LEAVE;
    return responseLength;
}

void LauncherSendAndRead(benchmark::State& state) {
    Setup& s = setup();
    std::vector<byte> message = randomMessage(static_cast<size_t>(state.range(0)));
    std::vector<byte> response(message.size());
    for (auto _ : state) {
        int length = s.api->send(s.handle, message.data(), static_cast<int32_t>(message.size()));
        s.api->read(s.handle, response.data(), length);
        benchmark::DoNotOptimize(response.data());
    }
    if (response != message) state.SkipWithError("echo differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Baseline(benchmark::State& state, bool presized) {
    setup();
    std::vector<byte> message = randomMessage(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> kept;
    std::vector<byte> response(message.size());
    for (auto _ : state) {
        baselineCommand(message, kept, response.data(), presized);
        benchmark::DoNotOptimize(response.data());
    }
    if (response != message) state.SkipWithError("echo differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The message-to-array conversion alone: one integer per byte, array sized once or grown per element.
void Conversion(benchmark::State& state, bool presized) {
    setup();
    PERL_SET_CONTEXT(my_perl);
    std::vector<byte> message = randomMessage(static_cast<size_t>(state.range(0)));
    const SSize_t length = static_cast<SSize_t>(message.size());
    for (auto _ : state) {
        AV* array;
        if (presized) {
            array = newAV_alloc_x(length);
            for (SSize_t i = 0; i < length; ++i) av_push_simple(array, newSViv(message[i]));
        } else {
            array = newAV();
            for (SSize_t i = 0; i < length; ++i) av_push(array, newSViv(message[i]));
        }
        benchmark::DoNotOptimize(array);
        SvREFCNT_dec(reinterpret_cast<SV*>(array));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void ConversionPresized(benchmark::State& state) {
    Conversion(state, true);
}
void ConversionPushing(benchmark::State& state) {
    Conversion(state, false);
}

void BaselinePresized(benchmark::State& state) {
    Baseline(state, true);
}
void BaselinePushing(benchmark::State& state) {
    Baseline(state, false);
}

void messageSizes(benchmark::internal::Benchmark* benchmark) {
    for (int64_t size : {11, 1024, 64 * 1024, 1024 * 1024}) benchmark->Arg(size);
}
BENCHMARK(LauncherSendAndRead)->Apply(messageSizes);
BENCHMARK(BaselinePresized)->Apply(messageSizes);
BENCHMARK(BaselinePushing)->Apply(messageSizes);
BENCHMARK(ConversionPresized)->Apply(messageSizes);
BENCHMARK(ConversionPushing)->Apply(messageSizes);

}  // namespace

BENCHMARK_MAIN();
