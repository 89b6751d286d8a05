// ConfigBench.cpp: cost of ConfigHandler::GetLoggingLevel through the facade, beside a direct call of the
// export it resolves and the lookup by name alone, all on the real Utils.dll (and OpenSSL), which the facade
// reaches through the loader seam under the paths it derives.
#include <benchmark/benchmark.h>

#include <string>

#include <dlfcn.h>

#include <map>

#include "ConfigHandler/ConfigHandler.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Library.h"
#include "Platform/SharedLibrary.h"

using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
using VeltrixNS::Native::ConfigHandler::ConfigHandler;

namespace {

// The system's loader, with the paths the core asks for mapped to the built files.
class Redirect final : public VeltrixNS::Native::Platform::LibraryLoader {
public:
    Redirect() {
        std::string openSsl = Finder::pathToDir + Finder::nativeDirectoryRelativePath;
        files_ = {{openSsl + "libcrypto-3-x64.dll", "libcrypto.so.3"},
                  {openSsl + "libssl-3-x64.dll", "libssl.so.3"},
                  {Finder::pathToDir + "Utils.dll", UTILS_LIBRARY}};
        Replace(this);
    }
    HINSTANCE Open(const std::string& path, VeltrixNS::Native::Platform::LoadFailure&) override {
        return dlopen(files_.at(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    void* Find(HINSTANCE library, const char* name) override { return dlsym(library, name); }
    void Close(HINSTANCE library) override { dlclose(library); }

private:
    std::map<std::string, std::string> files_;
};

struct Product {
    Product() : utils(UTILS_LIBRARY) {
        exportLevel = utils.get<std::string (*)()>("GetLoggingLevel");
        ConfigHandler::GetLoggingLevel();  // loads Utils.dll (and OpenSSL) through the facade, as the bridge would
    }
    Redirect loader;
    veltrix::test::Library utils;  // the same module the facade holds
    std::string (*exportLevel)() = nullptr;
};

Product& product() {
    static Product instance;
    return instance;
}

void FacadeGetLoggingLevel(benchmark::State& state) {
    product();
    for (auto _ : state) benchmark::DoNotOptimize(ConfigHandler::GetLoggingLevel());
}
BENCHMARK(FacadeGetLoggingLevel);

// Baseline: the resolved export called directly (no lookup, no mapping).
void DirectExportCall(benchmark::State& state) {
    auto level = product().exportLevel;
    for (auto _ : state) benchmark::DoNotOptimize(level());
}
BENCHMARK(DirectExportCall);

// The lookup by name that the facade repeats on every call, in the real library.
void ExportLookupOnly(benchmark::State& state) {
    void* handle = product().utils.handle();
    for (auto _ : state) benchmark::DoNotOptimize(dlsym(handle, "GetLoggingLevel"));
}
BENCHMARK(ExportLookupOnly);

}  // namespace

BENCHMARK_MAIN();
