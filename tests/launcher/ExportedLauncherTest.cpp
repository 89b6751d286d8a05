// ExportedLauncherTest.cpp: the embedded Perl launcher driven through the exported launcher functions of a
// copied bridge, loaded the way a host that keeps it private would (RTLD_LOCAL), with a receiver module per test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LauncherTestSupport.h"
#include "Library.h"
#include "TempProductTree.h"

namespace fs = std::filesystem;
using namespace veltrix::test;

namespace {

const std::string notInitialized = "Perl 5.40 Launcher: SendCommand - Perl interpreter not initialized.";
const std::string notArrayReference = "Response from Perl is not an array reference.";
const std::string missingElement =
    "Perl 5.40 Launcher: Error in Send Command: Invalid or missing element in Perl response array.";
const std::string heading = "Perl Native Launcher Runtime Info: \n";

// Byte 11 of a message (the first payload byte) picks what the receiver answers.
enum Answer : byte {
    Echo = 0,  // the routine's initial ('s' or 'h'), 1 when the first argument is defined, then the message
    WideValues = 1,
    HashReference = 2,
    PlainString = 3,
    Dies = 4,
    NothingAtAll = 5,
    SparseArray = 6,
    UndefElement = 7,
    EmptyArray = 8,
    TwoArrays = 9,
    TiedArray = 10,
    TiedArrayThatDies = 11,
    ElementThatDiesWhenNumified = 12,
    NonIntegerElements = 13,
};

const char* const receiverBody = R"PERL(
package Veltrix::Test::TiedBytes;
sub TIEARRAY { my ($class, $dies) = @_; return bless { dies => $dies }, $class }
sub FETCHSIZE { 3 }
sub FETCH { my ($self, $i) = @_; die "FETCH failed [expected]\n" if $self->{dies}; return 65 + $i }

package Veltrix::Test::Exploding;
use overload '0+' => sub { die "numify failed [expected]\n" }, '""' => sub { die "stringify failed [expected]\n" },
    fallback => 1;
sub new { return bless {}, shift }

package Veltrix::Core::Receiver::Receiver;
use strict;
use warnings;

sub answer {
    my ($initial, $self, $message) = @_;
    my $mode = $message->[11] // 0;
    return [ord($initial), defined($self) ? 1 : 0, @$message] if $mode == 0;
    return [256, -1, 300] if $mode == 1;
    return { bytes => [1] } if $mode == 2;
    return "1,2,3" if $mode == 3;
    die "Whoopsie [expected]\n" if $mode == 4;
    return if $mode == 5;
    if ($mode == 6) { my @sparse; $sparse[0] = 1; $sparse[2] = 3; return \@sparse }
    return [1, undef, 3] if $mode == 7;
    return [] if $mode == 8;
    return ([9, 9], [7]) if $mode == 9;
    if ($mode == 10 || $mode == 11) { tie my @tied, 'Veltrix::Test::TiedBytes', $mode == 11; return \@tied }
    return [1, Veltrix::Test::Exploding->new, 3] if $mode == 12;
    return ["7", "255", 1.5e2, "-1"] if $mode == 13;
    die "unknown mode $mode\n";
}

sub send_command { return answer('s', @_) }
sub heart_beat { return answer('h', @_) }
)PERL";

// The receiver module: the routines above, then `extra` (get_runtime_info, END blocks...) and the main program's end.
std::string receiverModule(const std::string& extra = "sub get_runtime_info { return 'receiver ready' }\n",
                           const std::string& mainProgramEnd = "1;\n") {
    return std::string(receiverBody) + extra + mainProgramEnd;
}

class ExportedLauncher : public ::testing::Test {
protected:
    void SetUp() override { bridgePath_ = tree_.addBridge(); }

    void TearDown() override {
        for (VeltrixPerlLauncherHandle handle : handles_) api_->destroy(handle);
        // The bridge stays loaded for the rest of the process, as every sibling library does.
        if (library_) library_->leak();
    }

    // Writes the receiver module (none when `module` is null) and loads the bridge privately.
    void load(const char* module) {
        if (module != nullptr) tree_.writeReceiverModule(module);
        library_ = std::make_unique<Library>(bridgePath_.string(), RTLD_NOW | RTLD_LOCAL);
        api_ = std::make_unique<LauncherExports>(*library_);
    }

    VeltrixPerlLauncherHandle create(RuntimeOperationMode mode) {
        handles_.push_back(api_->create(mode));
        return handles_.back();
    }

    void destroy(VeltrixPerlLauncherHandle handle) {
        api_->destroy(handle);
        std::erase(handles_, handle);
    }

    // The calling order of a loader: create, and initialise when not yet initialised.
    VeltrixPerlLauncherHandle start(const std::string& module = receiverModule()) {
        load(module.c_str());
        return initialize(create(Called));
    }

    VeltrixPerlLauncherHandle initialize(VeltrixPerlLauncherHandle handle) {
        if (!api_->isInitialized(handle)) {
            api_->initialize(handle, 0);
            api_->setInitialized(handle);
        }
        return handle;
    }

    std::vector<byte> answer(VeltrixPerlLauncherHandle handle, Answer kind) {
        return api_->exchange(handle, commandMessage(0, {kind}));
    }

    std::string failureOf(VeltrixPerlLauncherHandle handle, Answer kind) {
        return errorOf([&] { answer(handle, kind); });
    }

    std::string runtimeInfo(VeltrixPerlLauncherHandle handle) { return api_->runtimeInfo(handle); }

    TempProductTree tree_;
    fs::path bridgePath_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<LauncherExports> api_;
    std::vector<VeltrixPerlLauncherHandle> handles_;
};

std::vector<byte> echoed(char initial, const std::vector<byte>& message) {
    std::vector<byte> response(2 + message.size(), 0);
    response[0] = static_cast<byte>(initial);
    for (size_t i = 0; i < message.size(); ++i) response[2 + i] = message[i];
    return response;
}

// --- Commands -------------------------------------------------------------------------------------

TEST_F(ExportedLauncher, ResponseBytesAreTheLowEightBitsOfEachElement) {
    VeltrixPerlLauncherHandle launcher = start();
    std::vector<byte> message = commandMessage(0, {WideValues});
    EXPECT_EQ(api_->send(launcher, message.data(), static_cast<int32_t>(message.size())), 3);
    std::vector<byte> response(3);
    EXPECT_EQ(api_->read(launcher, response.data(), 3), 0);
    EXPECT_EQ(response, (std::vector<byte>{0, 255, 44}));
}

TEST_F(ExportedLauncher, MessageArrivesAsOneUnsignedIntegerPerByteAfterAnUndefArgument) {
    VeltrixPerlLauncherHandle launcher = start();
    std::vector<byte> payload = {Echo};
    for (int value = 255; value >= 0; --value) payload.push_back(static_cast<byte>(value));
    std::vector<byte> message = commandMessage(3, payload);
    EXPECT_EQ(api_->exchange(launcher, message), echoed('s', message));

    std::vector<byte> large = commandMessage(3, std::vector<byte>(70000, 0));
    for (size_t i = 12; i < large.size(); ++i) large[i] = static_cast<byte>(i * 7);
    EXPECT_EQ(api_->exchange(launcher, large), echoed('s', large));
}

TEST_F(ExportedLauncher, HeartBeatTypeSelectsHeartBeatAndEveryOtherTypeSendCommand) {
    VeltrixPerlLauncherHandle launcher = start();
    for (byte type : {byte{0}, byte{10}, byte{12}, byte{33}, byte{255}}) {
        EXPECT_EQ(api_->exchange(launcher, commandMessage(type, {Echo})).at(0), 's') << "type " << int(type);
    }
    EXPECT_EQ(api_->exchange(launcher, commandMessage(11, {Echo})).at(0), 'h');
}

TEST_F(ExportedLauncher, MessagesOfTenBytesOrLessAreTooShortAndElevenBytesPass) {
    VeltrixPerlLauncherHandle launcher = start();
    const std::string tooShort = "Perl 5.40 Launcher: Exception code 011. \nMessage too short";
    std::vector<byte> ten(10, 11);
    EXPECT_EQ(errorOf([&] { api_->send(launcher, ten.data(), 10); }), tooShort);
    EXPECT_EQ(errorOf([&] { api_->send(launcher, ten.data(), 0); }), tooShort);
    EXPECT_EQ(errorOf([&] { api_->send(launcher, ten.data(), -5); }), tooShort);
    EXPECT_EQ(errorOf([&] { api_->send(launcher, nullptr, 40); }), tooShort);

    std::vector<byte> eleven = commandMessage(11);
    EXPECT_EQ(api_->exchange(launcher, eleven), echoed('h', eleven));
}

TEST_F(ExportedLauncher, ResultsThatAreNotArrayReferencesAreRefusedAndTheInterpreterStaysUsable) {
    VeltrixPerlLauncherHandle launcher = start();
    for (Answer kind : {HashReference, PlainString, Dies, NothingAtAll}) {
        EXPECT_EQ(failureOf(launcher, kind), notArrayReference) << "answer " << int(kind);
        EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44})) << "after answer " << int(kind);
    }
}

TEST_F(ExportedLauncher, TheLastReturnedValueIsTheResponse) {
    VeltrixPerlLauncherHandle launcher = start();
    EXPECT_EQ(answer(launcher, TwoArrays), std::vector<byte>{7});
}

TEST_F(ExportedLauncher, AMissingElementIsRefusedWhileAnUndefElementGivesZero) {
    VeltrixPerlLauncherHandle launcher = start();
    EXPECT_EQ(failureOf(launcher, SparseArray), missingElement);
    EXPECT_EQ(answer(launcher, UndefElement), (std::vector<byte>{1, 0, 3}));
}

TEST_F(ExportedLauncher, AnEmptyArrayIsAnEmptyResponse) {
    VeltrixPerlLauncherHandle launcher = start();
    std::vector<byte> message = commandMessage(0, {EmptyArray});
    EXPECT_EQ(api_->send(launcher, message.data(), static_cast<int32_t>(message.size())), 0);
    byte untouched = 0x5A;
    EXPECT_EQ(api_->read(launcher, &untouched, 0), 0);
    EXPECT_EQ(untouched, 0x5A);
}

TEST_F(ExportedLauncher, ElementsWhoseConversionRunsPerlCodeAreConvertedUnderEval) {
    VeltrixPerlLauncherHandle launcher = start();
    EXPECT_EQ(answer(launcher, TiedArray), (std::vector<byte>{65, 66, 67}));
    EXPECT_EQ(answer(launcher, NonIntegerElements), (std::vector<byte>{7, 255, 150, 255}));
    EXPECT_EQ(failureOf(launcher, TiedArrayThatDies), missingElement);
    EXPECT_EQ(failureOf(launcher, ElementThatDiesWhenNumified), missingElement);
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

TEST_F(ExportedLauncher, RepeatedFailuresLeaveTheInterpreterUsable) {
    VeltrixPerlLauncherHandle launcher = start();
    std::vector<byte> ten(10, 0);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(failureOf(launcher, Dies), notArrayReference);
        ASSERT_EQ(failureOf(launcher, SparseArray), missingElement);
        ASSERT_EQ(failureOf(launcher, TiedArrayThatDies), missingElement);
        ASSERT_NE(errorOf([&] { api_->send(launcher, ten.data(), 10); }), "(no exception)");
    }
    std::vector<byte> message = commandMessage(3, {Echo, 1, 2, 3});
    EXPECT_EQ(api_->exchange(launcher, message), echoed('s', message));
}

TEST_F(ExportedLauncher, ReadingTwiceGivesTheSameBytesAndNeverReadsPastTheResponse) {
    VeltrixPerlLauncherHandle launcher = start();
    std::vector<byte> message = commandMessage(0, {WideValues});
    ASSERT_EQ(api_->send(launcher, message.data(), static_cast<int32_t>(message.size())), 3);
    std::vector<byte> first(3), second(3);
    EXPECT_EQ(api_->read(launcher, first.data(), 3), 0);
    EXPECT_EQ(api_->read(launcher, second.data(), 3), 0);
    EXPECT_EQ(first, second);

    std::vector<byte> longer(8, 0xAA);
    EXPECT_EQ(api_->read(launcher, longer.data(), 8), 0);
    EXPECT_EQ(longer, (std::vector<byte>{0, 255, 44, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    std::vector<byte> shorter(2, 0xAA);
    EXPECT_EQ(api_->read(launcher, shorter.data(), 1), 0);
    EXPECT_EQ(shorter, (std::vector<byte>{0, 0xAA}));
}

// --- Start and teardown ---------------------------------------------------------------------------

TEST_F(ExportedLauncher, MainProgramEndingWithStatusOneRaisesCode003AndKeepsTheInterpreter) {
    load(receiverModule("", "exit 1;\n").c_str());
    VeltrixPerlLauncherHandle launcher = create(Called);
    EXPECT_EQ(errorOf([&] { api_->initialize(launcher, 0); }),
              "Perl 5.40 Launcher: Exception code 003. \nPerl runtime execution failed.");
    EXPECT_FALSE(api_->isInitialized(launcher));
    // The routines were defined before the exit and the interpreter is still there.
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

TEST_F(ExportedLauncher, MainProgramEndingWithStatusZeroStarts) {
    VeltrixPerlLauncherHandle launcher = start(receiverModule("", "exit 0;\n"));
    EXPECT_TRUE(api_->isInitialized(launcher));
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

// A die ends the run with status 255 when $! and $? are clear: not code 003.
TEST_F(ExportedLauncher, MainProgramThatDiesStartsWithItsRoutinesDefined) {
    VeltrixPerlLauncherHandle launcher =
        start(receiverModule("", "$! = 0; $? = 0; die \"main failed [expected]\\n\";\n"));
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

TEST_F(ExportedLauncher, MissingModuleStartsButEveryCommandIsRefused) {
    load(nullptr);
    VeltrixPerlLauncherHandle launcher = create(Called);
    EXPECT_EQ(errorOf([&] { initialize(launcher); }), "(no exception)");
    EXPECT_EQ(failureOf(launcher, WideValues), notArrayReference);
    EXPECT_EQ(failureOf(launcher, WideValues), notArrayReference);
    EXPECT_EQ(runtimeInfo(launcher).rfind(heading + "\nPerl error in GetRuntimeInfoFromManagedRuntime: Undefined "
                                                    "subroutine &Veltrix::Core::Receiver::Receiver::get_runtime_info",
                                          0),
              0u);
}

TEST_F(ExportedLauncher, ModuleThatDoesNotCompileStartsButEveryCommandIsRefused) {
    load("package Veltrix::Core::Receiver::Receiver;\nsub send_command { return [1] \n");
    VeltrixPerlLauncherHandle launcher = create(Called);
    EXPECT_EQ(errorOf([&] { initialize(launcher); }), "(no exception)");
    EXPECT_EQ(failureOf(launcher, WideValues), notArrayReference);
}

TEST_F(ExportedLauncher, DestroyingALauncherEndsTheInterpreterAndRunsEndBlocks) {
    fs::path marker = tree_.root() / "end-block-ran";
    VeltrixPerlLauncherHandle first = start(receiverModule("sub get_runtime_info { 'x' }\nEND { open my $fh, '>', '" +
                                                           marker.string() + "' or die; close $fh }\n"));
    // The interpreter belongs to the process: a second launcher reaches it too.
    VeltrixPerlLauncherHandle second = create(Calling);
    EXPECT_EQ(answer(second, WideValues), (std::vector<byte>{0, 255, 44}));
    EXPECT_FALSE(fs::exists(marker));

    destroy(first);
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(failureOf(second, WideValues), notInitialized);
}

TEST_F(ExportedLauncher, XsModulesLoadWhenTheHostKeepsTheBridgeLocal) {
    // The test program does not link libperl: its symbols are not in the global scope before the start.
    load(nullptr);
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "perl_alloc"), nullptr);
    VeltrixPerlLauncherHandle launcher = start(R"PERL(
package Veltrix::Core::Receiver::Receiver;
use List::Util qw(sum max);
use POSIX qw(floor);
use Data::Dumper;
sub send_command {
    my (undef, $message) = @_;
    local $Data::Dumper::Terse = 1;
    local $Data::Dumper::Indent = 0;
    return [sum(@$message) % 256, max(@$message), floor(7.9), length(Data::Dumper->Dumpxs([[1, 2]]))];
}
1;
)PERL");
    std::vector<byte> message = commandMessage(3, {100, 200});
    EXPECT_EQ(api_->exchange(launcher, message), (std::vector<byte>{(4 + 3 + 100 + 200) % 256, 200, 7, 5}));
}

// --- Handles and runtime report -------------------------------------------------------------------

TEST_F(ExportedLauncher, NullHandleDoesNothingAndReportsFixedResults) {
    load(nullptr);
    byte buffer[16] = {};
    api_->destroy(nullptr);
    api_->initialize(nullptr, 0);
    api_->setInitialized(nullptr);
    EXPECT_EQ(api_->send(nullptr, buffer, 16), -1);
    EXPECT_EQ(api_->read(nullptr, buffer, 16), -1);
    EXPECT_FALSE(api_->isInitialized(nullptr));
    EXPECT_STREQ(api_->runtimeInfo(nullptr), "Error: Null handle provided to PerlLauncherGetRuntimeInfo.");
}

TEST_F(ExportedLauncher, ANewHandleIsInitializedOnlyAfterSetInitialized) {
    load(nullptr);
    VeltrixPerlLauncherHandle launcher = create(Called);
    EXPECT_FALSE(api_->isInitialized(launcher));
    api_->setInitialized(launcher);
    EXPECT_TRUE(api_->isInitialized(launcher));
    EXPECT_EQ(failureOf(launcher, WideValues), notInitialized);
}

TEST_F(ExportedLauncher, CallingModeStartsNoInterpreter) {
    load(receiverModule().c_str());
    VeltrixPerlLauncherHandle launcher = create(Calling);
    api_->initialize(launcher, 0);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "perl_alloc"), nullptr);
    EXPECT_EQ(failureOf(launcher, WideValues), notInitialized);
    EXPECT_EQ(runtimeInfo(launcher),
              heading + "\nError: Perl interpreter not initialized for GetRuntimeInfoFromManagedRuntime.");
}

TEST_F(ExportedLauncher, RuntimeInfoIsEmptyBeforeTheStartInCalledMode) {
    load(nullptr);
    EXPECT_EQ(runtimeInfo(create(Called)), "");
}

TEST_F(ExportedLauncher, RuntimeInfoIsTheHeadingThenTheModulePart) {
    VeltrixPerlLauncherHandle launcher = start();
    const char* report = api_->runtimeInfo(launcher);
    EXPECT_EQ(std::string(report), heading + "\nreceiver ready");
    // A null handle leaves the last report in place.
    api_->runtimeInfo(nullptr);
    EXPECT_EQ(std::string(report), heading + "\nreceiver ready");
    // The interpreter is the process's: a launcher in the calling mode reports the same module part.
    EXPECT_EQ(runtimeInfo(create(Calling)), heading + "\nreceiver ready");
}

TEST_F(ExportedLauncher, RuntimeInfoCarriesTheModulesDieText) {
    VeltrixPerlLauncherHandle launcher =
        start(receiverModule("sub get_runtime_info { die \"Whoopsie [expected]\\n\" }\n"));
    EXPECT_EQ(runtimeInfo(launcher),
              heading + "\nPerl error in GetRuntimeInfoFromManagedRuntime: Whoopsie [expected]\n");
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

TEST_F(ExportedLauncher, RuntimeInfoReportsAnUndefResult) {
    VeltrixPerlLauncherHandle launcher = start(receiverModule("sub get_runtime_info { return undef }\n"));
    EXPECT_EQ(runtimeInfo(launcher), heading + "\nPerl method returned undef or empty.");
}

TEST_F(ExportedLauncher, RuntimeInfoSurvivesValuesWhoseStringFormDies) {
    VeltrixPerlLauncherHandle launcher =
        start(receiverModule("sub get_runtime_info { die Veltrix::Test::Exploding->new }\n"));
    EXPECT_EQ(runtimeInfo(launcher),
              heading + "\nPerl error in GetRuntimeInfoFromManagedRuntime: (value could not be converted to text)");
    EXPECT_EQ(answer(launcher, WideValues), (std::vector<byte>{0, 255, 44}));
}

}  // namespace
