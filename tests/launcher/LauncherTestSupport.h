// LauncherTestSupport.h: the launcher exports of a loaded library, command messages and error capture for the launcher
// tests.
#pragma once
#include <exception>
#include <string>
#include <vector>
#include "ErrorText.h"

#include "Library.h"
#include "PerlLauncher_CAPI.h"

namespace veltrix::test {

// The eight launcher functions, resolved by name from a loaded library.
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

    decltype(&CreatePerlLauncherInstance) create;
    decltype(&DestroyPerlLauncherInstance) destroy;
    decltype(&PerlLauncherInitialize) initialize;
    decltype(&PerlLauncherSendCommand) send;
    decltype(&PerlLauncherReadResponse) read;
    decltype(&PerlLauncherGetRuntimeInfo) runtimeInfo;
    decltype(&PerlLauncherIsInitialized) isInitialized;
    decltype(&PerlLauncherSetInitialized) setInitialized;
};

// A command message: an 11-byte header whose byte 10 is the command type, then the payload.
inline std::vector<byte> commandMessage(byte commandType, std::vector<byte> payload = {}) {
    std::vector<byte> message(11 + payload.size(), 0);
    message[1] = 4;
    message[10] = commandType;
    for (size_t i = 0; i < payload.size(); ++i) message[11 + i] = payload[i];
    return message;
}

constexpr auto Called = RuntimeOperationMode::CalledRuntime;
constexpr auto Calling = RuntimeOperationMode::CallingRuntime;

}  // namespace veltrix::test
