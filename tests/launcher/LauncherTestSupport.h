// LauncherTestSupport.h: the eight launcher functions of a loaded library, for the launcher tests and benchmark.
#pragma once
#include <vector>

#include "Library.h"
#include "PerlLauncher_CAPI.h"

namespace veltrix::test {

struct LauncherExports {
    explicit LauncherExports(const Library& library)
        : create(library.get<decltype(&CreatePerlLauncherInstance)>("CreatePerlLauncherInstance")),
          destroy(library.get<decltype(&DestroyPerlLauncherInstance)>("DestroyPerlLauncherInstance")),
          initialize(library.get<decltype(&PerlLauncherInitialize)>("PerlLauncherInitialize")),
          send(library.get<decltype(&PerlLauncherSendCommand)>("PerlLauncherSendCommand")),
          read(library.get<decltype(&PerlLauncherReadResponse)>("PerlLauncherReadResponse")),
          runtimeInfo(library.get<decltype(&PerlLauncherGetRuntimeInfo)>("PerlLauncherGetRuntimeInfo")),
          isInitialized(library.get<decltype(&PerlLauncherIsInitialized)>("PerlLauncherIsInitialized")),
          setInitialized(library.get<decltype(&PerlLauncherSetInitialized)>("PerlLauncherSetInitialized")) {}

    // Sends a message and reads the whole response.
    std::vector<byte> exchange(VeltrixPerlLauncherHandle handle, std::vector<byte> message) const {
        int length = send(handle, message.data(), static_cast<int32_t>(message.size()));
        std::vector<byte> response(static_cast<size_t>(length));
        read(handle, response.data(), length);
        return response;
    }
    // The calling order of a loader: create, and initialise when not yet initialised.
    VeltrixPerlLauncherHandle start(RuntimeOperationMode mode) const {
        VeltrixPerlLauncherHandle handle = create(mode);
        if (!isInitialized(handle)) {
            initialize(handle, 0);
            setInitialized(handle);
        }
        return handle;
    }

    decltype(&CreatePerlLauncherInstance) create;
    decltype(&DestroyPerlLauncherInstance) destroy;
    decltype(&PerlLauncherInitialize) initialize;
    decltype(&PerlLauncherSendCommand) send;
    decltype(&PerlLauncherReadResponse) read;
    decltype(&PerlLauncherGetRuntimeInfo) runtimeInfo;
    decltype(&PerlLauncherIsInitialized) isInitialized;
    decltype(&PerlLauncherSetInitialized) setInitialized;
};

constexpr auto Called = RuntimeOperationMode::CalledRuntime;
constexpr auto Calling = RuntimeOperationMode::CallingRuntime;

}  // namespace veltrix::test
