// StandInVersionLibrary.cpp: a stand-in for another Perl version's library; which launcher functions it
// exports, and how they misbehave, is chosen at build time.
#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "PerlLauncher_CAPI.h"

namespace {

struct StandInLauncher {
    bool initialized = false;
    int initializeCalls = 0;
    byte version = 0;
    std::vector<byte> message;
};

int liveLaunchers = 0;
[[maybe_unused]] std::string runtimeInfo;

StandInLauncher* launcherOf(VeltrixPerlLauncherHandle handle) {
    return static_cast<StandInLauncher*>(handle);
}

// The file this stand-in was loaded from, so a test can tell which candidate was picked.
[[maybe_unused]] std::string ownFileName() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownFileName), &info) == 0 || info.dli_fname == nullptr) return "?";
    std::string path = info.dli_fname;
    return path.substr(path.find_last_of('/') + 1);
}

}  // namespace

VELTRIX_EXPORT int StandInLiveLaunchers() {
    return liveLaunchers;
}

VeltrixPerlLauncherHandle CreatePerlLauncherInstance(RuntimeOperationMode /*opMode*/) {
#ifdef STANDIN_NULL_LAUNCHER
    return nullptr;
#else
    ++liveLaunchers;
    return new StandInLauncher();
#endif
}

void DestroyPerlLauncherInstance(VeltrixPerlLauncherHandle handle) {
    if (handle == nullptr) return;
    --liveLaunchers;
    delete launcherOf(handle);
}

void PerlLauncherInitialize(VeltrixPerlLauncherHandle handle, byte calledRuntimeVersion) {
    launcherOf(handle)->initializeCalls++;
    launcherOf(handle)->version = calledRuntimeVersion;
}

// Keeps the message and answers with its length; the response is the message reversed.
int PerlLauncherSendCommand(VeltrixPerlLauncherHandle handle, byte* messageByteArray, int32_t messageByteArrayLen) {
    launcherOf(handle)->message.assign(messageByteArray, messageByteArray + messageByteArrayLen);
    return messageByteArrayLen;
}

#ifndef STANDIN_WITHOUT_READ_RESPONSE
int PerlLauncherReadResponse(VeltrixPerlLauncherHandle handle, byte* responseByteArray, int32_t responseByteArrayLen) {
    const std::vector<byte>& message = launcherOf(handle)->message;
    for (int32_t i = 0; i < responseByteArrayLen && i < static_cast<int32_t>(message.size()); ++i) {
        responseByteArray[i] = message[message.size() - 1 - static_cast<size_t>(i)];
    }
    return 0;
}
#endif

#ifndef STANDIN_WITHOUT_RUNTIME_INFO
const char* PerlLauncherGetRuntimeInfo(VeltrixPerlLauncherHandle handle) {
#ifdef STANDIN_NULL_RUNTIME_INFO
    (void)handle;
    return nullptr;
#else
    runtimeInfo = "stand-in " + ownFileName() + ", version " + std::to_string(launcherOf(handle)->version) +
                  ", initialized " + std::to_string(launcherOf(handle)->initializeCalls) + " time(s)";
    return runtimeInfo.c_str();
#endif
}
#endif

bool PerlLauncherIsInitialized(VeltrixPerlLauncherHandle handle) {
    return launcherOf(handle)->initialized;
}

#ifndef STANDIN_WITHOUT_SET_INITIALIZED
void PerlLauncherSetInitialized(VeltrixPerlLauncherHandle handle) {
    launcherOf(handle)->initialized = true;
}
#endif
