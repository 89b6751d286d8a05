// The version-dispatching launcher, linked in: it picks, loads and drives the library for the requested Perl
// version from its own directory. The version libraries are in-process fakes behind the loader seam; the
// real Perl 5.40 library loading itself is tested through the bridge's receiver.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "ErrorText.h"
#include "FakeLibraries.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Messages.h"
#include "PerlLauncher.h"

using namespace veltrix::test;
using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

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
const std::string notLoaded = " C API function not loaded or launcher not initialized.";

std::map<int, int> Live;        // launchers alive, by library version
std::set<int> NullLaunchers;    // versions whose CreatePerlLauncherInstance returns null
std::set<int> NullRuntimeInfo;  // versions whose PerlLauncherGetRuntimeInfo returns null

// A version library's launcher and its exports: it answers with the message reversed.
struct FakeLauncher {
    using H = VeltrixPerlLauncherHandle;
    int version;
    bool initialized = false;
    int initializeCalls = 0;
    byte calledVersion = 0;
    std::vector<byte> message;
    std::string info;

    static FakeLauncher& Of(H h) { return *static_cast<FakeLauncher*>(h); }
    template <int V>
    static H Create(RuntimeOperationMode) {
        return NullLaunchers.count(V) != 0 ? nullptr : (++Live[V], new FakeLauncher{V, false, 0, 0, {}, {}});
    }
    static void Destroy(H h) { --Live[Of(h).version], delete &Of(h); }
    static void Initialize(H h, byte version) { Of(h).initializeCalls++, Of(h).calledVersion = version; }
    static int Send(H h, byte* bytes, int32_t length) { return Of(h).message.assign(bytes, bytes + length), length; }
    static int Read(H h, byte* out, int32_t length) {
        return std::copy_n(Of(h).message.rbegin(), std::min<size_t>(length, Of(h).message.size()), out), 0;
    }
    static const char* Info(H h) {
        Of(h).info = "fake " + std::to_string(Of(h).version) + ", version " + std::to_string(Of(h).calledVersion) +
                     ", initialized " + std::to_string(Of(h).initializeCalls) + " time(s)";
        return NullRuntimeInfo.count(Of(h).version) != 0 ? nullptr : Of(h).info.c_str();
    }
    static bool IsInitialized(H h) { return Of(h).initialized; }
    static void SetInitialized(H h) { Of(h).initialized = true; }
};

std::string LibraryPath(int version) {
    return Finder::pathToDir + "VeltrixPerl" + std::to_string(version) + "RuntimeNative.dll";
}

class VersionDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        Live.clear();
        NullLaunchers.clear();
        NullRuntimeInfo.clear();
    }
    // The library for a version beside the launcher (alone among the versions), without the exports named.
    void Add(std::vector<int> versions, std::set<std::string> without = {}) {
        for (int version : {540, 534, 532, 530}) fakes.Remove(LibraryPath(version));
        for (int version : versions) {
            using F = FakeLauncher;
            auto create = version == 540   ? &F::Create<540>
                          : version == 534 ? &F::Create<534>
                          : version == 532 ? &F::Create<532>
                                           : &F::Create<530>;
            FakeLibraries::Exports exports = {{"CreatePerlLauncherInstance", AsExport(create)},
                                              {"DestroyPerlLauncherInstance", AsExport(&F::Destroy)},
                                              {"PerlLauncherInitialize", AsExport(&F::Initialize)},
                                              {"PerlLauncherSendCommand", AsExport(&F::Send)},
                                              {"PerlLauncherReadResponse", AsExport(&F::Read)},
                                              {"PerlLauncherGetRuntimeInfo", AsExport(&F::Info)},
                                              {"PerlLauncherIsInitialized", AsExport(&F::IsInitialized)},
                                              {"PerlLauncherSetInitialized", AsExport(&F::SetInitialized)}};
            for (const auto& name : without) exports[name] = nullptr;
            fakes.Add(LibraryPath(version), exports);
        }
    }

    FakeLibraries fakes;
    std::unique_ptr<PerlLauncher> launcher;
};

// Older versions fall back in order to the first library present, the Perl 5.40 library last; any other
// version tries the bare file name only, which the system looks for elsewhere. A second Initialize keeps
// the launcher made by the first and does not start it again.
TEST_F(VersionDispatch, EachVersionTriesItsCandidatesInOrder) {
    const std::tuple<std::vector<int>, byte, std::string> cases[] = {
        {{540, 534}, 0, "540"}, {{540, 534}, 4, "540"}, {{540, 532, 530}, 3, "532"}, {{540, 534, 532}, 1, "540"},
        {{540}, 3, "540"},      {{530}, 2, "530"},      {{540}, 9, code002},         {{}, 0, code002}};
    for (const auto& [present, version, picked] : cases) {
        SCOPED_TRACE(int(version));
        launcher = std::make_unique<PerlLauncher>(RuntimeOperationMode::CalledRuntime);
        Add(present);
        std::string failure = errorOf([&] { launcher->Initialize(version), launcher->Initialize(version); });
        if (picked == code002) {
            EXPECT_EQ(failure, code002);
            continue;
        }
        EXPECT_EQ(launcher->GetRuntimeInfo(),
                  heading + "fake " + picked + ", version " + std::to_string(version) + ", initialized 1 time(s)");
        EXPECT_EQ(Live[std::stoi(picked)], 1);
        EXPECT_EQ(fakes.References(LibraryPath(std::stoi(picked))), 1);
        EXPECT_FALSE(launcher->IsInitialized());  // its own flag, which its caller sets
        std::vector<byte> message = rawMessage(CommandHeader{.commandType = 3}, {1, 2, 254});
        std::vector<byte> response(
            static_cast<size_t>(launcher->SendCommand(message.data(), static_cast<int32_t>(message.size()))));
        EXPECT_EQ(launcher->ReadResponse(response.data(), static_cast<int32_t>(response.size())), 0);
        EXPECT_EQ(response, std::vector<byte>(message.rbegin(), message.rend()));
    }
    launcher.reset();
    for (int version : {540, 534, 532, 530}) {
        EXPECT_EQ(fakes.References(LibraryPath(version)), 0) << version;
        EXPECT_EQ(Live[version], 0) << version;
    }
}

TEST_F(VersionDispatch, WithoutALibraryOrInTheCallingModeNothingIsLoadedAndCommandsAreRefused) {
    Add({540});
    auto calling = std::make_unique<PerlLauncher>(RuntimeOperationMode::CallingRuntime);
    calling->Initialize(0);
    EXPECT_EQ(fakes.References(LibraryPath(540)), 0);
    PerlLauncher uninitialized(RuntimeOperationMode::CalledRuntime);
    for (PerlLauncher* l : {&uninitialized, calling.get()}) {
        byte buffer[12] = {};
        EXPECT_EQ(errorOf([&] { l->SendCommand(buffer, 12); }), "Perl Launcher: SendCommand" + notLoaded);
        EXPECT_EQ(errorOf([&] { l->ReadResponse(buffer, 12); }), "Perl Launcher: ReadResponse" + notLoaded);
        EXPECT_EQ(l->GetRuntimeInfo(), heading + noRuntimeInfo);
        EXPECT_EQ(l->GetRuntimeName(), "Perl");
        EXPECT_EQ(l->LoadOptimizedMethod("anything") + l->SetPath(4, "/nowhere") +
                      l->DeployRuntime(buffer, 12, "/nowhere", 0),
                  3);
    }
}

// A library that lacks what the launcher needs fails without falling back to another; a launcher it made
// is destroyed with the dispatcher all the same. A missing runtime report becomes text.
TEST_F(VersionDispatch, ALibraryLackingWhatTheLauncherNeedsFailsOrReportsIt) {
    const std::tuple<std::set<std::string>, std::function<void()>, std::string, int, std::string> cases[] = {
        {{"PerlLauncherReadResponse"}, [] {}, code003, 0, noRuntimeInfo},
        {{}, [] { NullLaunchers = {534}; }, code004, 0, noRuntimeInfo},
        {{"PerlLauncherSetInitialized"},
         [] {},
         "Perl Launcher: Initialization C API functions not loaded.",
         1,
         "fake 534, version 0, initialized 0 time(s)"},
        {{"PerlLauncherGetRuntimeInfo"}, [] {}, "(no exception)", 1, noRuntimeInfo},
        {{},
         [] { NullRuntimeInfo = {534}; },
         "(no exception)",
         1,
         "Failed to get runtime info from Perl DLL via C API."}};
    for (const auto& [without, arrange, failure, launchers, report] : cases) {
        SCOPED_TRACE(failure + " / " + report);
        SetUp();
        arrange();
        launcher = std::make_unique<PerlLauncher>(RuntimeOperationMode::CalledRuntime);
        Add({540, 534}, without);
        EXPECT_EQ(errorOf([&] { launcher->Initialize(3); }), failure);
        EXPECT_EQ(launcher->GetRuntimeInfo(), heading + report);
        EXPECT_EQ(fakes.References(LibraryPath(540)), 0);
        EXPECT_EQ(Live[534], launchers);
        launcher.reset();
        EXPECT_EQ(Live[534], 0);
    }
}

}  // namespace
