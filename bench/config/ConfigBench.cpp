// ConfigBench.cpp: cost of ConfigHandler::GetLoggingLevel through the facade, beside a direct call of the
// export it resolves and the lookup by name alone, all on the real Utils.dll in one product tree.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Library.h"
#include "TempProductTree.h"

namespace fs = std::filesystem;
using veltrix::test::Library;
using veltrix::test::TempProductTree;

namespace {

struct Product {
    Product() {
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libcrypto.so.3", tree.nativeDir() / "libcrypto-3-x64.dll");
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libssl.so.3", tree.nativeDir() / "libssl-3-x64.dll");
        tree.addNativeLibrary(UTILS_LIBRARY, "Utils.dll");
        tree.addNativeLibrary(CONFIG_PROBE_LIBRARY, "ConfigProbe.dll");
        probe = std::make_unique<Library>((tree.nativeDir() / "ConfigProbe.dll").string());
        facadeLevel = probe->get<int (*)()>("ProbeGetLoggingLevel");
        facadeLevel();  // loads Utils.dll (and OpenSSL) through the facade, as the bridge would
        // The same module the facade holds: an already loaded file yields its handle again.
        utils = std::make_unique<Library>((tree.nativeDir() / "Utils.dll").string());
        exportLevel = utils->get<std::string (*)()>("GetLoggingLevel");
    }
    TempProductTree tree;
    std::unique_ptr<Library> probe;
    std::unique_ptr<Library> utils;
    int (*facadeLevel)() = nullptr;
    std::string (*exportLevel)() = nullptr;
};

Product& product() {
    static Product instance;
    return instance;
}

void FacadeGetLoggingLevel(benchmark::State& state) {
    auto level = product().facadeLevel;
    for (auto _ : state) benchmark::DoNotOptimize(level());
}
BENCHMARK(FacadeGetLoggingLevel);

// Baseline: the resolved export called directly (no lookup, no mapping).
void DirectExportCall(benchmark::State& state) {
    auto level = product().exportLevel;
    for (auto _ : state) benchmark::DoNotOptimize(level());
}
BENCHMARK(DirectExportCall);

// The lookup by name that the facade repeats on every call.
void ExportLookupOnly(benchmark::State& state) {
    void* handle = product().utils->handle();
    for (auto _ : state) benchmark::DoNotOptimize(dlsym(handle, "GetLoggingLevel"));
}
BENCHMARK(ExportLookupOnly);

}  // namespace

BENCHMARK_MAIN();
