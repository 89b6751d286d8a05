// Perl's generic library name, VeltrixPerlRuntimeNative.dll beside VeltrixPerl540RuntimeNative.dll: whichever name a
// host loads first, the process has one library and one interpreter, which Perl's in-memory transport also reaches
// under the generic name; and in-process commands from Perl record no failure. Each case in a process of its own.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "HostClient/PerlClient.h"
#include "IReceiver.h"
#include "Library.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using namespace veltrix::test;
namespace fs = std::filesystem;

namespace {

const char* const sampleModule = R"PERL(
package Sample::Generic;
use strict;
use warnings;
use Veltrix::Client;

our $marker;
sub marker { return $marker }
# Perl calling Perl in memory: the transport loads the called runtime's library by the generic name.
sub marker_in_memory {
    return Veltrix::Client->new(runtime => 'Perl')->invoke_global_method('Sample::Generic::marker');
}
1;
)PERL";

// Loaded copies of a file: each maps its first page (offset 0) once.
int copiesInProcess(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int copies = 0;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode >> path;
        if (path == file.string() && std::stoull(offset, nullptr, 16) == 0) ++copies;
    }
    return copies;
}

struct Tree : TempProductTree {
    Tree() {
        addRunnableBridge();
        addNativeLibrary(CPP_RUNTIME_LIBRARY);
        writePerlModule("Sample/Generic.pm", sampleModule);
    }
    fs::path generic() const { return nativeDir() / "VeltrixPerlRuntimeNative.dll"; }
    fs::path versioned() const { return nativeDir() / "VeltrixPerl540RuntimeNative.dll"; }
};

class GenericPerlName : public ::testing::TestWithParam<bool> {};

TEST_P(GenericPerlName, EitherNameFirstGivesOneLibraryAndOneInterpreter) {
    Tree tree;
    const bool genericFirst = GetParam();
    Library first((genericFirst ? tree.generic() : tree.versioned()).string());
    Library second((genericFirst ? tree.versioned() : tree.generic()).string());
    EXPECT_EQ(first.handle(), second.handle());
    using CreateReceiver = VeltrixNS::Native::Interfaces::IReceiver* (*)(int32_t);
    auto* receiver = first.get<CreateReceiver>("CreateReceiver")(1);
    EXPECT_EQ(receiver, second.get<CreateReceiver>("CreateReceiver")(1));
    receiver->Initialize(CppRuntimeNumber, PerlRuntimeNumber, 0);  // Perl starts under the first name

    PerlClient perl(tree.root());
    perl.LoadLibrary("Sample::Generic");
    perl.SetPackageVariable("Sample::Generic", "marker", 7);
    EXPECT_EQ(perl.CallFunction("Sample::Generic::marker_in_memory").asInt(), 7);
    EXPECT_EQ(copiesInProcess(fs::canonical(tree.versioned())), 1);
}

INSTANTIATE_TEST_SUITE_P(LoadedFirst, GenericPerlName, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Generic" : "Versioned"; });

// The calling side's library (Perl's, by the generic name) loads: nothing fails, so nothing is recorded.
TEST(InProcessCommandsFromPerl, LeaveTheErrorLogEmpty) {
    Tree tree;
    fs::path logs = tree.root() / "logs";
    fs::create_directories(logs);
    PerlClient perl(tree.root());
    perl.LoadLibrary("Sample::Generic");
    perl.Define("main::inc", [](int64_t x) { return x + 1; });
    perl.Eval("Veltrix::Client->set_working_directory('" + logs.string() + "')");
    // A failure of the bridge is recorded there.
    perl.Eval("eval { Veltrix::Bridge::Native::send_command('short') }; 1");
    ASSERT_FALSE(fs::is_empty(logs));
    fs::remove_all(logs);
    fs::create_directories(logs);

    perl.SetPackageVariable("Sample::Generic", "marker", 1);
    EXPECT_EQ(perl.Eval("main::inc(40) + Sample::Generic::marker_in_memory()").asInt(), 42);
    EXPECT_TRUE(fs::is_empty(logs));
}

}  // namespace
