// PerlLauncher.cpp: picks the library for the requested Perl version (falling back to older ones, then
// to Perl 5.40), resolves its launcher exports and forwards every operation to the launcher it creates.
#include "PerlLauncher.h"

#include <sstream>
#include <vector>

#include "Exception/Raise.h"
#include "LibrariesFinder/LibrariesFinder.h"

using VeltrixNS::Native::Exception::PerlLauncherComponent;
using VeltrixNS::Native::Exception::Raise;
using VeltrixNS::Native::Exception::RaiseNumbered;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

namespace {

const char* const perl540Library = "VeltrixPerl540RuntimeNative.dll";
const char* const perl534Library = "VeltrixPerl534RuntimeNative.dll";
const char* const perl532Library = "VeltrixPerl532RuntimeNative.dll";
const char* const perl530Library = "VeltrixPerl530RuntimeNative.dll";

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

}  // namespace

PerlLauncher::PerlLauncher(RuntimeOperationMode opMode)
    : NativeLauncher(opMode),
      runtimeVersion(PerlVersion::DEFAULT),
      runtimeName_("Perl"),
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

// The embedded launcher goes before the library that holds its code (released with the members).
PerlLauncher::~PerlLauncher() {
    if (fnDestroyPerlLauncherInstance != nullptr && launcherHandle != nullptr) {
        fnDestroyPerlLauncherInstance(launcherHandle);
        launcherHandle = nullptr;
    }
}

void PerlLauncher::Initialize(byte calledRuntimeVersion) {
    runtimeVersion = static_cast<PerlVersion>(calledRuntimeVersion);
    if (operationMode != RuntimeOperationMode::CalledRuntime) return;

    if (loadSharedLibraryForSpecificVersion()) {
        RaiseNumbered(
            PerlLauncherComponent, "002",
            "Cannot find Perl installed on this machine. \nInstall Perl from https://www.perl.org/get.html. \n");
    }
    if (!loadCFunctions()) {
        RaiseNumbered(
            PerlLauncherComponent, "003",
            "Failed to load C API functions from Perl runtime DLL. Reinstall Veltrix package or check DLL integrity.");
    }
    if (launcherHandle == nullptr) {
        launcherHandle = fnCreatePerlLauncherInstance(RuntimeOperationMode::CalledRuntime);
        if (launcherHandle == nullptr) {
            RaiseNumbered(PerlLauncherComponent, "004",
                          "Failed to create Perl launcher instance via C API. Reinstall Veltrix package.");
        }
    }
    if (fnPerlLauncherIsInitialized == nullptr || fnPerlLauncherInitialize == nullptr ||
        fnPerlLauncherSetInitialized == nullptr) {
        Raise("Perl Launcher: Initialization C API functions not loaded.");
    }
    if (!fnPerlLauncherIsInitialized(launcherHandle)) {
        fnPerlLauncherInitialize(launcherHandle, calledRuntimeVersion);
        fnPerlLauncherSetInitialized(launcherHandle);
    }
}

bool PerlLauncher::loadSharedLibraryForSpecificVersion() {
    // An embedded launcher already made keeps the library that holds its code.
    if (launcherHandle != nullptr && sharedLibraryInstance.IsLoaded()) return false;
    for (const char* candidate : candidateLibraries(runtimeVersion)) {
        sharedLibraryName = candidate;
        if (!loadSharedLibraryInstance()) return false;
    }
    return true;
}

bool PerlLauncher::loadSharedLibraryInstance() {
    // A version without a directory gets an empty one: the bare name goes to the system's search order.
    std::string path = mapOfPaths[runtimeVersion] + sharedLibraryName;
    sharedLibraryInstance = LibrariesFinder::openLibrary(path, false);
    return !sharedLibraryInstance.IsLoaded();
}

bool PerlLauncher::loadCFunctions() {
    if (!sharedLibraryInstance.IsLoaded()) return false;
    fnCreatePerlLauncherInstance =
        sharedLibraryInstance.Get<CreatePerlLauncherInstance_Func>("CreatePerlLauncherInstance");
    fnDestroyPerlLauncherInstance =
        sharedLibraryInstance.Get<DestroyPerlLauncherInstance_Func>("DestroyPerlLauncherInstance");
    fnPerlLauncherInitialize = sharedLibraryInstance.Get<PerlLauncherInitialize_Func>("PerlLauncherInitialize");
    fnPerlLauncherSendCommand = sharedLibraryInstance.Get<PerlLauncherSendCommand_Func>("PerlLauncherSendCommand");
    fnPerlLauncherReadResponse = sharedLibraryInstance.Get<PerlLauncherReadResponse_Func>("PerlLauncherReadResponse");
    fnPerlLauncherGetRuntimeInfo =
        sharedLibraryInstance.Get<PerlLauncherGetRuntimeInfo_Func>("PerlLauncherGetRuntimeInfo");
    fnPerlLauncherIsInitialized =
        sharedLibraryInstance.Get<PerlLauncherIsInitialized_Func>("PerlLauncherIsInitialized");
    fnPerlLauncherSetInitialized =
        sharedLibraryInstance.Get<PerlLauncherSetInitialized_Func>("PerlLauncherSetInitialized");
    return fnCreatePerlLauncherInstance != nullptr && fnDestroyPerlLauncherInstance != nullptr &&
           fnPerlLauncherInitialize != nullptr && fnPerlLauncherSendCommand != nullptr &&
           fnPerlLauncherReadResponse != nullptr;
}

int PerlLauncher::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (fnPerlLauncherSendCommand == nullptr || launcherHandle == nullptr) {
        Raise("Perl Launcher: SendCommand C API function not loaded or launcher not initialized.");
    }
    return fnPerlLauncherSendCommand(launcherHandle, messageByteArray, messageByteArrayLen);
}

int PerlLauncher::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (fnPerlLauncherReadResponse == nullptr || launcherHandle == nullptr) {
        Raise("Perl Launcher: ReadResponse C API function not loaded or launcher not initialized.");
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
