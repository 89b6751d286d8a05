// HostedBridgeTest.cpp: Perl hosted by the bridge calls out through Veltrix::Bridge::Native: one bridge, not two.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "HostClient/PerlClient.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;

namespace {

const char* const probeModule = R"PERL(
package Hosted::Probe;
use strict;
use warnings;
use Veltrix::Bridge::Native;

sub handle { return Veltrix::Bridge::Native::load() }
# To the Clr stand-in, from Perl (4), InvokeStaticMethod (2), body "hi"; the stand-in echoes it as a Value.
sub echo_through_clr {
    return unpack('H*', Veltrix::Bridge::Native::send_command(pack('C11', 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2) . 'hi'));
}
sub failure_text { eval { Veltrix::Bridge::Native::send_command('short') }; return "$@" }

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

TEST(HostedPerlCallingOut, TheModuleUsesTheBridgeThatHostsItsInterpreterAndFailuresComeBackAsText) {
    veltrix::test::TempProductTree tree;
    for (const char* sibling : {"Utils.dll", "libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
        fs::copy(fs::path(VELTRIX_NATIVE_DIR) / sibling, tree.nativeDir() / sibling, fs::copy_options::copy_symlinks);
    }
    fs::path bridge = fs::canonical(tree.addBridge());
    tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
    tree.addProductPerlModules();
    tree.writeFile(fs::relative(tree.perlLibDir(), tree.root()) / "Hosted/Probe.pm", probeModule);
    PerlClient perl(tree.root());
    perl.LoadLibrary("Hosted::Probe");

    void* hosting = dlopen(bridge.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(hosting, nullptr);
    dlclose(hosting);
    EXPECT_EQ(perl.CallFunction("Hosted::Probe::handle").asInt(), reinterpret_cast<int64_t>(hosting));
    EXPECT_EQ(perl.CallFunction("Hosted::Probe::echo_through_clr").asString(), "00000000000000000004006869");
    EXPECT_EQ(perl.CallFunction("Hosted::Probe::failure_text").asString(), "Message byte array length is less than 11");
    EXPECT_EQ(copiesInProcess(bridge), 1);
}

}  // namespace
