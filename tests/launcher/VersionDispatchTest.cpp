// VersionDispatchTest.cpp: the version-dispatching launcher picking, loading and driving version libraries
// (the real bridge and stand-ins for the older Perl versions) from its own directory in a product tree.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ILauncher.h"
#include "LauncherTestSupport.h"
#include "Library.h"
#include "TempProductTree.h"

namespace fs = std::filesystem;
using namespace veltrix::test;
using VeltrixNS::Native::Interfaces::ILauncher;

namespace {

const std::string heading = "Perl Native Launcher Runtime Info: \n";
const std::string noRuntimeInfo = "Perl DLL C API for GetRuntimeInfo not available or launcher not initialized.";
const std::string code002 =
    "Perl Launcher: Exception code 002. \nCannot find Perl installed on this machine. \n"
    "Install Perl from https://www.perl.org/get.html. \n";
const std::string code003 =
    "Perl Launcher: Exception code 003. \nFailed to load C API functions from Perl runtime DLL. Reinstall Veltrix "
    "package or check DLL integrity.";
const std::string code004 =
    "Perl Launcher: Exception code 004. \nFailed to create Perl launcher instance via C API. Reinstall Veltrix "
    "package.";
const std::string initializationMissing = "Perl Launcher: Initialization C API functions not loaded.";
const std::string sendNotLoaded = "Perl Launcher: SendCommand C API function not loaded or launcher not initialized.";
const std::string readNotLoaded = "Perl Launcher: ReadResponse C API function not loaded or launcher not initialized.";

const char* const echoModule = R"PERL(
package Veltrix::Core::Receiver::Receiver;
sub send_command { return [map { $_ ^ 0xFF } @{$_[1]}] }
sub get_runtime_info { return 'bridge receiver' }
1;
)PERL";

std::string libraryName(const std::string& version) {
    return "VeltrixPerl" + version + "RuntimeNative.dll";
}

class VersionDispatch : public ::testing::Test {
protected:
    void TearDown() override {
        launcher_.reset();
        for (auto& library : libraries_) library->leak();
    }

    void addStandIn(const char* source, const std::string& version) {
        tree_.addNativeLibrary(source, libraryName(version));
    }

    void addBridge() {
        tree_.addBridge();
        tree_.writeReceiverModule(echoModule);
    }

    // Loads a library of the tree the way a host does, privately.
    const Library& hostLoad(const std::string& fileName) {
        libraries_.push_back(std::make_unique<Library>((tree_.nativeDir() / fileName).string(), RTLD_NOW | RTLD_LOCAL));
        return *libraries_.back();
    }

    // The version-dispatching launcher, from a library in the tree's native directory.
    ILauncher& makeLauncher(RuntimeOperationMode mode, const std::string& probeName = "VeltrixLauncherProbe.dll") {
        tree_.addNativeLibrary(LAUNCHER_PROBE_LIBRARY, probeName);
        const Library& probe = hostLoad(probeName);
        using Factory = ILauncher* (*)(RuntimeOperationMode);
        launcher_.reset(probe.get<Factory>("CreateProbePerlLauncher")(mode));
        return *launcher_;
    }

    // Number of launchers a stand-in in the tree currently holds (it must already be loaded).
    int standInLaunchers(const std::string& version) {
        void* handle = dlopen((tree_.nativeDir() / libraryName(version)).c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr) return -1;
        auto live = reinterpret_cast<int (*)()>(dlsym(handle, "StandInLiveLaunchers"));
        int count = live != nullptr ? live() : -1;
        dlclose(handle);
        return count;
    }

    bool isLoaded(const std::string& version) {
        void* handle = dlopen((tree_.nativeDir() / libraryName(version)).c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle);
        return handle != nullptr;
    }

    static std::vector<byte> exchange(ILauncher& launcher, std::vector<byte> message) {
        int length = launcher.SendCommand(message.data(), static_cast<int32_t>(message.size()));
        std::vector<byte> response(static_cast<size_t>(length));
        EXPECT_EQ(launcher.ReadResponse(response.data(), length), 0);
        return response;
    }

    TempProductTree tree_;
    std::vector<std::unique_ptr<Library>> libraries_;
    std::unique_ptr<ILauncher> launcher_;
};

std::vector<byte> inverted(std::vector<byte> bytes) {
    for (byte& b : bytes) b = static_cast<byte>(b ^ 0xFF);
    return bytes;
}

std::vector<byte> reversed(std::vector<byte> bytes) {
    return {bytes.rbegin(), bytes.rend()};
}

// --- Picking the library --------------------------------------------------------------------------

TEST_F(VersionDispatch, DefaultVersionLoadsThePerl540LibraryAndDrivesItsInterpreter) {
    addBridge();
    addStandIn(STANDIN_COMPLETE, "534");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(0);
    EXPECT_FALSE(launcher.IsInitialized());  // its own flag, set by its caller
    launcher.SetInitialized();
    EXPECT_TRUE(launcher.IsInitialized());
    EXPECT_FALSE(isLoaded("534"));

    std::vector<byte> message = commandMessage(3, {1, 2, 254});
    EXPECT_EQ(exchange(launcher, message), inverted(message));
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + heading + "\nbridge receiver");
}

TEST_F(VersionDispatch, OlderVersionsFallBackInOrderToTheFirstLibraryPresent) {
    addBridge();
    addStandIn(STANDIN_COMPLETE, "532");
    addStandIn(STANDIN_COMPLETE, "530");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(3);
    EXPECT_EQ(launcher.GetRuntimeInfo(),
              heading + "stand-in VeltrixPerl532RuntimeNative.dll, version 3, initialized 1 time(s)");
    EXPECT_FALSE(isLoaded("530"));
    EXPECT_FALSE(isLoaded("540"));

    std::vector<byte> message = commandMessage(0, {9, 8, 7});
    EXPECT_EQ(exchange(launcher, message), reversed(message));
}

TEST_F(VersionDispatch, Version530SkipsNewerStandInsAndFallsBackToPerl540) {
    addBridge();
    addStandIn(STANDIN_COMPLETE, "534");
    addStandIn(STANDIN_COMPLETE, "532");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(1);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + heading + "\nbridge receiver");
    EXPECT_FALSE(isLoaded("534"));
    EXPECT_FALSE(isLoaded("532"));
}

TEST_F(VersionDispatch, Version540PrefersThePerl540LibraryOverOlderOnes) {
    addBridge();
    addStandIn(STANDIN_COMPLETE, "534");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(4);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + heading + "\nbridge receiver");
}

TEST_F(VersionDispatch, Version534WithOnlyThePerl540LibraryLoadsIt) {
    addBridge();
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(3);
    std::vector<byte> message = commandMessage(3, {0, 255});
    EXPECT_EQ(exchange(launcher, message), inverted(message));
}

// An unknown version tries only the bare file name, which the system searches for outside the tree.
TEST_F(VersionDispatch, UnknownVersionTriesOnlyTheBareNameAndFindsNothing) {
    addBridge();
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(errorOf([&] { launcher.Initialize(9); }), code002);
    EXPECT_FALSE(isLoaded("540"));
}

TEST_F(VersionDispatch, NoLibraryAtAllRaisesCode002AndCreatesNoLauncher) {
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(errorOf([&] { launcher.Initialize(0); }), code002);
    byte buffer[12] = {};
    EXPECT_EQ(errorOf([&] { launcher.SendCommand(buffer, 12); }), sendNotLoaded);
    EXPECT_EQ(errorOf([&] { launcher.ReadResponse(buffer, 12); }), readNotLoaded);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + noRuntimeInfo);
}

// --- Libraries with missing or failing exports ------------------------------------------------------

TEST_F(VersionDispatch, ALibraryLackingARequiredExportRaisesCode003WithoutFallingBack) {
    addBridge();
    addStandIn(STANDIN_NO_READ_RESPONSE, "534");
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(errorOf([&] { launcher.Initialize(3); }), code003);
    EXPECT_FALSE(isLoaded("540"));
    EXPECT_EQ(standInLaunchers("534"), 0);
}

TEST_F(VersionDispatch, ALibraryThatCreatesNoLauncherRaisesCode004) {
    addStandIn(STANDIN_NULL_LAUNCHER, "534");
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(errorOf([&] { launcher.Initialize(3); }), code004);
}

TEST_F(VersionDispatch, ALibraryLackingSetInitializedFailsAfterCreatingTheLauncherWhichIsStillDestroyed) {
    addStandIn(STANDIN_NO_SET_INITIALIZED, "534");
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(errorOf([&] { launcher.Initialize(3); }), initializationMissing);
    EXPECT_EQ(standInLaunchers("534"), 1);
    hostLoad(libraryName("534"));  // keeps the stand-in loaded once the launcher releases it
    launcher_.reset();
    EXPECT_EQ(standInLaunchers("534"), 0);
}

TEST_F(VersionDispatch, ALibraryLackingRuntimeInfoStartsAndReportsItsAbsence) {
    addStandIn(STANDIN_NO_RUNTIME_INFO, "534");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(3);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + noRuntimeInfo);
}

TEST_F(VersionDispatch, ANullRuntimeInfoBecomesAFailureText) {
    addStandIn(STANDIN_NULL_RUNTIME_INFO, "534");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(3);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + "Failed to get runtime info from Perl DLL via C API.");
}

TEST_F(VersionDispatch, ASecondInitializeKeepsTheLauncherAndDoesNotStartItAgain) {
    addStandIn(STANDIN_COMPLETE, "534");
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(3);
    launcher.Initialize(3);
    EXPECT_EQ(standInLaunchers("534"), 1);
    EXPECT_EQ(launcher.GetRuntimeInfo(),
              heading + "stand-in VeltrixPerl534RuntimeNative.dll, version 3, initialized 1 time(s)");
    hostLoad(libraryName("534"));
    launcher_.reset();
    EXPECT_EQ(standInLaunchers("534"), 0);
}

// --- Calling mode and fixed results ---------------------------------------------------------------

TEST_F(VersionDispatch, CallingModeLoadsNothing) {
    addBridge();
    addStandIn(STANDIN_COMPLETE, "534");
    ILauncher& launcher = makeLauncher(Calling);
    launcher.Initialize(0);
    launcher.Initialize(3);
    EXPECT_FALSE(isLoaded("540"));
    EXPECT_FALSE(isLoaded("534"));
    byte buffer[12] = {};
    EXPECT_EQ(errorOf([&] { launcher.SendCommand(buffer, 12); }), sendNotLoaded);
    EXPECT_EQ(errorOf([&] { launcher.ReadResponse(buffer, 12); }), readNotLoaded);
    EXPECT_EQ(launcher.GetRuntimeInfo(), heading + noRuntimeInfo);
}

TEST_F(VersionDispatch, NameAndUnusedOperationsGiveFixedResults) {
    ILauncher& launcher = makeLauncher(Called);
    EXPECT_EQ(launcher.GetRuntimeName(), "Perl");
    EXPECT_EQ(launcher.LoadOptimizedMethod("anything"), 1);
    EXPECT_EQ(launcher.SetPath(4, "/nowhere"), 1);
    byte message[12] = {};
    EXPECT_EQ(launcher.DeployRuntime(message, 12, "/nowhere", 0), 1);
}

// --- The Perl 5.40 library is the module already loaded -------------------------------------------

// The launcher lives in the very file it loads for Perl 5.40: loading it again yields the same module,
// so a launcher made through the host's own handle sees the interpreter the dispatcher started.
TEST_F(VersionDispatch, ThePerl540LibraryLoadingItselfGetsTheModuleAlreadyLoaded) {
    tree_.writeReceiverModule(echoModule);
    ILauncher& launcher = makeLauncher(Called, libraryName("540"));
    const Library& self = *libraries_.back();
    launcher.Initialize(0);

    auto loadSibling = self.get<void* (*)(const char*)>("ProbeLoadSibling");
    EXPECT_EQ(loadSibling(libraryName("540").c_str()), self.handle());
    LauncherExports api(self);
    VeltrixPerlLauncherHandle sameInterpreter = api.create(Calling);
    std::vector<byte> message = commandMessage(3, {42});
    EXPECT_EQ(api.exchange(sameInterpreter, message), inverted(message));
    api.destroy(sameInterpreter);
}

TEST_F(VersionDispatch, TheBridgeAlreadyLoadedByTheHostIsTheOneDrivenAndDestroyingTheLauncherEndsIt) {
    addBridge();
    LauncherExports host(hostLoad(libraryName("540")));
    VeltrixPerlLauncherHandle hostLauncher = host.create(Calling);
    ILauncher& launcher = makeLauncher(Called);
    launcher.Initialize(0);

    std::vector<byte> message = commandMessage(3, {42});
    EXPECT_EQ(host.exchange(hostLauncher, message), inverted(message));
    launcher_.reset();
    EXPECT_EQ(errorOf([&] { host.exchange(hostLauncher, message); }),
              "Perl 5.40 Launcher: SendCommand - Perl interpreter not initialized.");
    host.destroy(hostLauncher);
}

}  // namespace
