// PerlLauncher.h: the launcher that loads the library built for the requested Perl version and drives its embedded
// launcher.
#pragma once
#include <map>
#include <string>

#include "Definitions/perlVersions.h"
#include "Definitions/runtimeOperationMode.h"
#include "ILauncher.h"
#include "Launcher/NativeLauncher.h"
#include "PerlLauncher_CAPI.h"
#include "Platform/SharedLibrary.h"

class PerlLauncher : public VeltrixNS::Native::Launcher::NativeLauncher {
public:
    using RuntimeOperationMode = VeltrixNS::Native::Definitions::RuntimeOperationMode;
    using PerlVersion = VeltrixNS::Native::Definitions::PerlVersion;
    using ILauncher = VeltrixNS::Native::Interfaces::ILauncher;

    using CreateLauncherFuncPointer = ILauncher* (*)(RuntimeOperationMode);
    using CreatePerlLauncherInstance_Func = VeltrixPerlLauncherHandle (*)(RuntimeOperationMode);
    using DestroyPerlLauncherInstance_Func = void (*)(VeltrixPerlLauncherHandle);
    using PerlLauncherInitialize_Func = void (*)(VeltrixPerlLauncherHandle, byte);
    using PerlLauncherSendCommand_Func = int (*)(VeltrixPerlLauncherHandle, byte*, int32_t);
    using PerlLauncherReadResponse_Func = int (*)(VeltrixPerlLauncherHandle, byte*, int32_t);
    using PerlLauncherGetRuntimeInfo_Func = const char* (*)(VeltrixPerlLauncherHandle);
    using PerlLauncherIsInitialized_Func = bool (*)(VeltrixPerlLauncherHandle);
    using PerlLauncherSetInitialized_Func = void (*)(VeltrixPerlLauncherHandle);

    explicit PerlLauncher(RuntimeOperationMode opMode);
    ~PerlLauncher() override;
    PerlLauncher(const PerlLauncher&) = delete;
    PerlLauncher& operator=(const PerlLauncher&) = delete;

    void Initialize(byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int LoadOptimizedMethod(std::string optimizedMethodName) override;
    int SetPath(byte calledRuntimeVersion, std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;
    std::string GetRuntimeName() override;
    std::string GetRuntimeInfo() override;

private:
    // True when no candidate library could be loaded.
    bool loadSharedLibraryForSpecificVersion();
    // True when loading sharedLibraryName failed.
    bool loadSharedLibraryInstance();
    // True when the five required exports were found.
    bool loadCFunctions();

    PerlVersion runtimeVersion;
    std::map<PerlVersion, std::string> mapOfPaths;
    std::string runtimeName_;
    // Given back after the embedded launcher is destroyed, when this launcher goes.
    VeltrixNS::Native::Platform::SharedLibrary sharedLibraryInstance;
    std::string sharedLibraryName;
    ILauncher* launcher;
    CreateLauncherFuncPointer CreateLauncher_Fn;
    VeltrixPerlLauncherHandle launcherHandle;
    CreatePerlLauncherInstance_Func fnCreatePerlLauncherInstance;
    DestroyPerlLauncherInstance_Func fnDestroyPerlLauncherInstance;
    PerlLauncherInitialize_Func fnPerlLauncherInitialize;
    PerlLauncherSendCommand_Func fnPerlLauncherSendCommand;
    PerlLauncherReadResponse_Func fnPerlLauncherReadResponse;
    PerlLauncherGetRuntimeInfo_Func fnPerlLauncherGetRuntimeInfo;
    PerlLauncherIsInitialized_Func fnPerlLauncherIsInitialized;
    PerlLauncherSetInitialized_Func fnPerlLauncherSetInitialized;
};
