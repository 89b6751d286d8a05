// PerlLauncher.cpp: picks the library for the requested Perl version (falling back to older ones, then
// to Perl 5.40), resolves its launcher exports and forwards every operation to the launcher it creates.
#include "PerlLauncher.h"

#include <sstream>
#include <vector>

#include "Exception/VeltrixNativeException.h"
#include "LibrariesFinder/LibrariesFinder.h"

using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

namespace {

const char* const perl540Library = "VeltrixPerl540RuntimeNative.dll";
const char* const perl534Library = "VeltrixPerl534RuntimeNative.dll";
const char* const perl532Library = "VeltrixPerl532RuntimeNative.dll";
const char* const perl530Library = "VeltrixPerl530RuntimeNative.dll";

[[noreturn]] void raise(const std::string& message) {
    throw VeltrixNativeException(message, "Unknown");
}

// Libraries to try for a version, newest first; the Perl 5.40 library always comes last.
std::vector<const char*> candidateLibraries(PerlLauncher::PerlVersion version) {
    using V = PerlLauncher::PerlVersion;
    switch (version) {
        case V::DEFAULT:
        case V::V540: return {perl540Library, perl534Library, perl532Library, perl530Library, perl540Library};
        case V::V534: return {perl534Library, perl532Library, perl530Library, perl540Library};
        case V::V532: return {perl532Library, perl530Library, perl540Library};
        case V::V530: return {perl530Library, perl540Library};
    }
    return {perl540Library};
}

template <typename F>
F resolve(HINSTANCE library, const char* name) {
    return reinterpret_cast<F>(GetProcAddress(library, name));
}

}  // namespace

PerlLauncher::PerlLauncher(RuntimeOperationMode opMode)
    : NativeLauncher(opMode),
      runtimeVersion(PerlVersion::DEFAULT),
      runtimeName_("Perl"),
      sharedLibraryInstance(nullptr),
      launcher(nullptr),
      CreateLauncher_Fn(nullptr),
      launcherHandle(nullptr),
      fnCreatePerlLauncherInstance(nullptr),
      fnDestroyPerlLauncherInstance(nullptr),
      fnPerlLauncherInitialize(nullptr),
      fnPerlLauncherSendCommand(nullptr),
      fnPerlLauncherReadResponse(nullptr),
      fnPerlLauncherGetRuntimeInfo(nullptr),
      fnPerlLauncherIsInitialized(nullptr),
      fnPerlLauncherSetInitialized(nullptr) {
    operationMode = opMode;
    for (PerlVersion version :
         {PerlVersion::DEFAULT, PerlVersion::V530, PerlVersion::V534, PerlVersion::V532, PerlVersion::V540}) {
        mapOfPaths[version] = LibrariesFinder::getThisLibraryPath();
    }
}

// The embedded launcher goes before the library that holds its code.
PerlLauncher::~PerlLauncher() {
    if (fnDestroyPerlLauncherInstance != nullptr && launcherHandle != nullptr) {
        fnDestroyPerlLauncherInstance(launcherHandle);
        launcherHandle = nullptr;
    }
    if (sharedLibraryInstance != nullptr) {
        FreeLibrary(sharedLibraryInstance);
        sharedLibraryInstance = nullptr;
    }
}

void PerlLauncher::Initialize(byte calledRuntimeVersion) {
    runtimeVersion = static_cast<PerlVersion>(calledRuntimeVersion);
    if (operationMode != RuntimeOperationMode::CalledRuntime) return;

    if (loadSharedLibraryForSpecificVersion()) {
        raise(std::string("Perl Launcher: Exception code 002. \n") + "Cannot find Perl installed on this machine. \n" +
              "Install Perl from " + "https://www.perl.org/get.html" + ". \n");
    }
    if (!loadCFunctions()) {
        raise(
            std::string("Perl Launcher: Exception code 003. \n") +
            "Failed to load C API functions from Perl runtime DLL. Reinstall Veltrix package or check DLL integrity.");
    }
    if (launcherHandle == nullptr) {
        launcherHandle = fnCreatePerlLauncherInstance(RuntimeOperationMode::CalledRuntime);
        if (launcherHandle == nullptr) {
            raise(std::string("Perl Launcher: Exception code 004. \n") +
                  "Failed to create Perl launcher instance via C API. Reinstall Veltrix package.");
        }
    }
    if (fnPerlLauncherIsInitialized == nullptr || fnPerlLauncherInitialize == nullptr ||
        fnPerlLauncherSetInitialized == nullptr) {
        raise("Perl Launcher: Initialization C API functions not loaded.");
    }
    if (!fnPerlLauncherIsInitialized(launcherHandle)) {
        fnPerlLauncherInitialize(launcherHandle, calledRuntimeVersion);
        fnPerlLauncherSetInitialized(launcherHandle);
    }
}

bool PerlLauncher::loadSharedLibraryForSpecificVersion() {
    for (const char* candidate : candidateLibraries(runtimeVersion)) {
        sharedLibraryName = candidate;
        if (!loadSharedLibraryInstance()) return false;
    }
    return true;
}

bool PerlLauncher::loadSharedLibraryInstance() {
    // A version without a directory gets an empty one: the bare name goes to the system's search order.
    std::string path = mapOfPaths[runtimeVersion] + sharedLibraryName;
    sharedLibraryInstance = LibrariesFinder::loadLibrary(path, false, true);
    return sharedLibraryInstance == nullptr;
}

bool PerlLauncher::loadCFunctions() {
    if (sharedLibraryInstance == nullptr) return false;
    fnCreatePerlLauncherInstance =
        resolve<CreatePerlLauncherInstance_Func>(sharedLibraryInstance, "CreatePerlLauncherInstance");
    fnDestroyPerlLauncherInstance =
        resolve<DestroyPerlLauncherInstance_Func>(sharedLibraryInstance, "DestroyPerlLauncherInstance");
    fnPerlLauncherInitialize = resolve<PerlLauncherInitialize_Func>(sharedLibraryInstance, "PerlLauncherInitialize");
    fnPerlLauncherSendCommand = resolve<PerlLauncherSendCommand_Func>(sharedLibraryInstance, "PerlLauncherSendCommand");
    fnPerlLauncherReadResponse =
        resolve<PerlLauncherReadResponse_Func>(sharedLibraryInstance, "PerlLauncherReadResponse");
    fnPerlLauncherGetRuntimeInfo =
        resolve<PerlLauncherGetRuntimeInfo_Func>(sharedLibraryInstance, "PerlLauncherGetRuntimeInfo");
    fnPerlLauncherIsInitialized =
        resolve<PerlLauncherIsInitialized_Func>(sharedLibraryInstance, "PerlLauncherIsInitialized");
    fnPerlLauncherSetInitialized =
        resolve<PerlLauncherSetInitialized_Func>(sharedLibraryInstance, "PerlLauncherSetInitialized");
    return fnCreatePerlLauncherInstance != nullptr && fnDestroyPerlLauncherInstance != nullptr &&
           fnPerlLauncherInitialize != nullptr && fnPerlLauncherSendCommand != nullptr &&
           fnPerlLauncherReadResponse != nullptr;
}

int PerlLauncher::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (fnPerlLauncherSendCommand == nullptr || launcherHandle == nullptr) {
        raise("Perl Launcher: SendCommand C API function not loaded or launcher not initialized.");
    }
    return fnPerlLauncherSendCommand(launcherHandle, messageByteArray, messageByteArrayLen);
}

int PerlLauncher::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (fnPerlLauncherReadResponse == nullptr || launcherHandle == nullptr) {
        raise("Perl Launcher: ReadResponse C API function not loaded or launcher not initialized.");
    }
    return fnPerlLauncherReadResponse(launcherHandle, responseByteArray, responseByteArrayLen);
}

int PerlLauncher::LoadOptimizedMethod(std::string /*optimizedMethodName*/) {
    return 1;
}

int PerlLauncher::SetPath(byte /*calledRuntimeVersion*/, std::string /*path*/) {
    return 1;
}

int PerlLauncher::DeployRuntime(byte* /*messageByteArray*/, int32_t /*messageByteArrayLen*/, std::string /*path*/,
                                byte /*channel*/) {
    return 1;
}

std::string PerlLauncher::GetRuntimeName() {
    return runtimeName_;
}

std::string PerlLauncher::GetRuntimeInfo() {
    std::stringstream info;
    info << "Perl Native Launcher Runtime Info: " << std::endl;
    if (fnPerlLauncherGetRuntimeInfo != nullptr && launcherHandle != nullptr) {
        const char* c_info = fnPerlLauncherGetRuntimeInfo(launcherHandle);
        info << (c_info != nullptr ? c_info : "Failed to get runtime info from Perl DLL via C API.");
    } else {
        info << "Perl DLL C API for GetRuntimeInfo not available or launcher not initialized.";
    }
    return info.str();
}
