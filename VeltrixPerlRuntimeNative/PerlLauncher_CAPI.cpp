// PerlLauncher_CAPI.cpp: the exported functions through which a loader creates and drives a Perl 5.40 launcher.
#include "PerlLauncher_CAPI.h"

#include <exception>
#include <memory>
#include <string>

#include "Exception/Raise.h"
#include "ILauncher.h"
#include "Perl540Launcher.h"

using VeltrixNS::Native::Interfaces::ILauncher;

namespace {

// The text most recently handed out by PerlLauncherGetRuntimeInfo.
std::string g_lastRuntimeInfo;

ILauncher* asLauncher(VeltrixPerlLauncherHandle handle) {
    return static_cast<ILauncher*>(handle);
}

}  // namespace

VeltrixPerlLauncherHandle CreatePerlLauncherInstance(RuntimeOperationMode opMode) {
    std::string failure;
    try {
        // The caller owns the launcher and gives it back to DestroyPerlLauncherInstance.
        std::unique_ptr<ILauncher> launcher = std::make_unique<Perl540Launcher>(opMode);
        return launcher.release();
    } catch (const std::exception& e) {
        failure = std::string("Perl 5.40 Launcher: ") + e.what();
    } catch (...) {
        failure = "Perl 5.40 Launcher: Exception code 041";
    }
    VeltrixNS::Native::Exception::Raise(failure);
}

void DestroyPerlLauncherInstance(VeltrixPerlLauncherHandle handle) {
    std::unique_ptr<ILauncher> launcher(asLauncher(handle));
}

void PerlLauncherInitialize(VeltrixPerlLauncherHandle handle, byte calledRuntimeVersion) {
    if (handle != nullptr) asLauncher(handle)->Initialize(calledRuntimeVersion);
}

int PerlLauncherSendCommand(VeltrixPerlLauncherHandle handle, byte* messageByteArray, int32_t messageByteArrayLen) {
    if (handle == nullptr) return -1;
    return asLauncher(handle)->SendCommand(messageByteArray, messageByteArrayLen);
}

int PerlLauncherReadResponse(VeltrixPerlLauncherHandle handle, byte* responseByteArray, int32_t responseByteArrayLen) {
    if (handle == nullptr) return -1;
    return asLauncher(handle)->ReadResponse(responseByteArray, responseByteArrayLen);
}

const char* PerlLauncherGetRuntimeInfo(VeltrixPerlLauncherHandle handle) {
    if (handle == nullptr) return "Error: Null handle provided to PerlLauncherGetRuntimeInfo.";
    try {
        g_lastRuntimeInfo = asLauncher(handle)->GetRuntimeInfo();
    } catch (const std::exception& e) {
        g_lastRuntimeInfo = std::string("Error retrieving runtime info: ") + e.what();
    }
    return g_lastRuntimeInfo.c_str();
}

bool PerlLauncherIsInitialized(VeltrixPerlLauncherHandle handle) {
    return handle != nullptr && asLauncher(handle)->IsInitialized();
}

void PerlLauncherSetInitialized(VeltrixPerlLauncherHandle handle) {
    if (handle != nullptr) asLauncher(handle)->SetInitialized();
}
