// Perl's generic library name, VeltrixPerlRuntimeNative.dll beside VeltrixPerl540RuntimeNative.dll: whichever name a
// host loads first, the process has one library and one interpreter, which Perl's in-memory transport also reaches
// under the generic name. Each case in a process of its own.
#include <gtest/gtest.h>

#include "HostClient/PerlClient.h"
#include "IReceiver.h"
#include "Library.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using namespace veltrix::test;

namespace {

class GenericPerlName : public ::testing::TestWithParam<bool> {};

TEST_P(GenericPerlName, EitherNameFirstGivesOneLibraryAndOneInterpreter) {
    TempProductTree tree;
    tree.addRunnableBridge();
    const std::string generic = (tree.nativeDir() / "VeltrixPerlRuntimeNative.dll").string();
    const std::string versioned = (tree.nativeDir() / "VeltrixPerl540RuntimeNative.dll").string();
    Library first(GetParam() ? generic : versioned), second(GetParam() ? versioned : generic);
    EXPECT_EQ(first.handle(), second.handle()) << "one library, whatever its name";
    using CreateReceiver = VeltrixNS::Native::Interfaces::IReceiver* (*)(int32_t);
    auto* receiver = first.get<CreateReceiver>("CreateReceiver")(1);
    EXPECT_EQ(receiver, second.get<CreateReceiver>("CreateReceiver")(1));
    receiver->Initialize(CppRuntimeNumber, PerlRuntimeNumber, 0);  // Perl starts under the first name

    // Perl calling Perl in memory: the transport loads the called runtime's library by the generic name.
    PerlClient perl(tree.root());
    perl.LoadLibrary("Veltrix::Client");
    perl.SetPackageVariable("main", "marker", 7);
    EXPECT_EQ(perl.Eval("sub marker { $main::marker } "
                        "Veltrix::Client->new(runtime => 'Perl')->invoke_global_method('main::marker')")
                  .asInt(),
              7);
}

INSTANTIATE_TEST_SUITE_P(LoadedFirst, GenericPerlName, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Generic" : "Versioned"; });

}  // namespace
