// The embedded Perl launcher through the exported launcher functions of a copied bridge, loaded privately
// (RTLD_LOCAL) as a host that keeps it to itself would.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "ErrorText.h"
#include "LauncherTestSupport.h"
#include "Messages.h"
#include "TempProductTree.h"

namespace fs = std::filesystem;
using namespace veltrix::test;

namespace {

const std::string notInitialized = "Perl 5.40 Launcher: SendCommand - Perl interpreter not initialized.";
const std::string notArrayReference = "Response from Perl is not an array reference.";
const std::string missingElement =
    "Perl 5.40 Launcher: Error in Send Command: Invalid or missing element in Perl response array.";
const std::string heading = "Perl Native Launcher Runtime Info: \n";
const std::vector<byte> wide = {0, 255, 44};

// The bytes after a message's header name what the receiver module answers, "echo" when they name nothing known:
// echo gives the routine's initial ('s' or 'h'), 1 when its first argument is defined, then the message;
// "info" and a digit picks what get_runtime_info does.
const char* const receiverModule = R"PERL(
package Veltrix::Test::TiedBytes;
sub TIEARRAY { return bless { dies => $_[1] }, $_[0] }
sub FETCHSIZE { 3 }
sub FETCH { die "FETCH failed [expected]\n" if $_[0]{dies}; return 65 + $_[1] }
package Veltrix::Test::Exploding;
use overload '0+' => sub { die "numify failed [expected]\n" }, '""' => sub { die "stringify failed [expected]\n" };
package Veltrix::Core::Receiver::Receiver;
my $info = 0;
my %answers = (
    echo => sub { [ord($_[0]), defined($_[1]) ? 1 : 0, @{$_[2]}] }, wide => sub { [256, -1, 300] },
    hash => sub { { bytes => [1] } }, string => sub { "1,2,3" }, dies => sub { die "Whoopsie [expected]\n" },
    nothing => sub { return }, sparse => sub { my @s; @s[0, 2] = (1, 3); \@s }, undef => sub { [1, undef, 3] },
    empty => sub { [] }, two => sub { ([9, 9], [7]) }, tied => sub { tie my @t, 'Veltrix::Test::TiedBytes', 0; \@t },
    tieddies => sub { tie my @t, 'Veltrix::Test::TiedBytes', 1; \@t },
    numifydies => sub { [1, bless({}, 'Veltrix::Test::Exploding'), 3] }, nonint => sub { ["7", "255", 1.5e2, "-1"] },
    info => sub { $info = $_[3]; [] });
sub answer {
    my ($name, $digit) = pack('C*', @{$_[2]}[11 .. $#{$_[2]}]) =~ /\A([a-z]*)(\d?)/;
    return ($answers{$name} // $answers{echo})->(@_, $digit);
}
sub send_command { return answer('s', @_) }
sub heart_beat { return answer('h', @_) }
sub get_runtime_info {
    die "Whoopsie [expected]\n" if $info == 1;
    return undef if $info == 2;
    die bless {}, 'Veltrix::Test::Exploding' if $info == 3;
    return 'receiver ready';
}
)PERL";

std::vector<byte> Message(byte type, std::string_view body = "") {
    return rawMessage(CommandHeader{.commandType = type},
                      std::span(reinterpret_cast<const byte*>(body.data()), body.size()));
}
std::vector<byte> Echoed(char initial, const std::vector<byte>& message) {
    std::vector<byte> response(2 + message.size(), 0);  // the first argument is undef
    response[0] = static_cast<byte>(initial);
    std::copy(message.begin(), message.end(), response.begin() + 2);
    return response;
}

// A copy of the bridge in a product tree with a receiver module, loaded privately; it stays loaded.
struct Bridge {
    explicit Bridge(const char* module) {
        if (module != nullptr) tree.writeReceiverModule(module);
        library = std::make_unique<Library>(tree.addBridge().string(), RTLD_NOW | RTLD_LOCAL);
        api = std::make_unique<LauncherExports>(*library);
        library->leak();
    }
    std::vector<byte> Answer(VeltrixPerlLauncherHandle handle, const std::string& kind) {
        return api->exchange(handle, Message(0, kind));
    }
    std::string FailureOf(VeltrixPerlLauncherHandle handle, const std::string& kind) {
        return errorOf([&] { Answer(handle, kind); });
    }
    TempProductTree tree;
    std::unique_ptr<Library> library;
    std::unique_ptr<LauncherExports> api;
};

// --- Without an interpreter --------------------------------------------------------------------------

TEST(LauncherHandles, NullHandleDoesNothingAndNewHandlesWaitForSetInitialized) {
    Bridge bridge(receiverModule);
    const LauncherExports& api = *bridge.api;
    byte buffer[16] = {};
    api.destroy(nullptr);
    api.initialize(nullptr, 0);
    api.setInitialized(nullptr);
    EXPECT_EQ(api.send(nullptr, buffer, 16), -1);
    EXPECT_EQ(api.read(nullptr, buffer, 16), -1);
    EXPECT_FALSE(api.isInitialized(nullptr));
    EXPECT_STREQ(api.runtimeInfo(nullptr), "Error: Null handle provided to PerlLauncherGetRuntimeInfo.");

    VeltrixPerlLauncherHandle called = api.create(Called);
    EXPECT_EQ(std::string(api.runtimeInfo(called)), "");  // nothing started yet
    EXPECT_FALSE(api.isInitialized(called));
    api.setInitialized(called);
    EXPECT_TRUE(api.isInitialized(called));
    EXPECT_EQ(bridge.FailureOf(called, "wide"), notInitialized);

    // The calling mode starts no interpreter: libperl's symbols never reach the global scope.
    VeltrixPerlLauncherHandle calling = api.start(Calling);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "perl_alloc"), nullptr);
    EXPECT_EQ(bridge.FailureOf(calling, "wide"), notInitialized);
    EXPECT_EQ(std::string(api.runtimeInfo(calling)),
              heading + "\nError: Perl interpreter not initialized for GetRuntimeInfoFromManagedRuntime.");
    api.destroy(calling);
    api.destroy(called);
}

// --- One interpreter for the suite -------------------------------------------------------------------

class LauncherCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        bridge = new Bridge(receiverModule);
        launcher = bridge->api->start(Called);
    }
    static void TearDownTestSuite() {
        bridge->api->destroy(calling);
        bridge->api->destroy(launcher);
    }
    static std::vector<byte> Answer(const std::string& kind) { return bridge->Answer(launcher, kind); }
    static std::string RuntimeInfo(VeltrixPerlLauncherHandle handle = launcher) {
        return bridge->api->runtimeInfo(handle);
    }
    const LauncherExports& api = *bridge->api;

    static Bridge* bridge;  // the bridge and its interpreter live until the process ends
    static VeltrixPerlLauncherHandle launcher, calling;
};
Bridge* LauncherCommands::bridge = nullptr;
VeltrixPerlLauncherHandle LauncherCommands::launcher = nullptr;
VeltrixPerlLauncherHandle LauncherCommands::calling = nullptr;

TEST_F(LauncherCommands, TheMessageArrivesAsOneIntegerPerByteAndTheResponseIsTheLowEightBitsOfEachElement) {
    std::vector<byte> message = Message(3, "echo");
    for (int value = 255; value >= 0; --value) message.push_back(static_cast<byte>(value));
    EXPECT_EQ(api.exchange(launcher, message), Echoed('s', message));
    message.resize(70000);
    for (size_t i = 15; i < message.size(); ++i) message[i] = static_cast<byte>(i * 7);
    EXPECT_EQ(api.exchange(launcher, message), Echoed('s', message));

    std::vector<byte> command = Message(0, "wide");
    EXPECT_EQ(api.send(launcher, command.data(), static_cast<int32_t>(command.size())), 3);
    std::vector<byte> response(8, 0xAA);
    EXPECT_EQ(api.read(launcher, response.data(), 8), 0);  // never past the response
    EXPECT_EQ(api.read(launcher, response.data() + 4, -1), 0);
    EXPECT_EQ(response, (std::vector<byte>{0, 255, 44, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(api.read(launcher, response.data() + 4, 1), 0);  // read again: the same bytes
    EXPECT_EQ(response[4], 0);
}

TEST_F(LauncherCommands, HeartBeatTypeSelectsHeartBeatAndTooShortMessagesAreRefused) {
    for (byte type : {byte{0}, byte{10}, byte{12}, byte{33}, byte{255}}) {
        EXPECT_EQ(api.exchange(launcher, Message(type, "echo")).at(0), 's') << int(type);
    }
    std::vector<byte> eleven = Message(11);
    EXPECT_EQ(api.exchange(launcher, eleven), Echoed('h', eleven));
    std::vector<byte> ten(10, 11);
    for (auto [bytes, length] : {std::pair{ten.data(), 10}, {ten.data(), 0}, {ten.data(), -5}, {nullptr, 40}}) {
        EXPECT_EQ(errorOf([&] { api.send(launcher, bytes, length); }),
                  "Perl 5.40 Launcher: Exception code 011. \nMessage too short");
    }
}

// Arrays are converted whatever their elements; anything else is refused, and every failure leaves the
// interpreter usable: repeated hundreds of times, it still answers.
TEST_F(LauncherCommands, ArraysOfExistingElementsAreConvertedAndEverythingElseIsRefused) {
    const std::tuple<std::string, std::vector<byte>, std::string> replies[] = {
        {"hash", {}, notArrayReference},          {"string", {}, notArrayReference},
        {"dies", {}, notArrayReference},          {"nothing", {}, notArrayReference},
        {"sparse", {}, missingElement},           {"tieddies", {}, missingElement},
        {"numifydies", {}, missingElement},       {"undef", {1, 0, 3}, "(no exception)"},
        {"two", {7}, "(no exception)"},  // the last value returned
        {"tied", {65, 66, 67}, "(no exception)"}, {"nonint", {7, 255, 150, 255}, "(no exception)"},
        {"empty", {}, "(no exception)"}};
    for (int round = 0; round < 300; ++round) {
        for (const auto& [kind, bytes, failure] : replies) {
            std::vector<byte> answer;
            ASSERT_EQ(errorOf([&] { answer = Answer(kind); }), failure) << kind;
            ASSERT_EQ(answer, bytes) << kind;
        }
    }
    EXPECT_EQ(Answer("wide"), wide);
}

TEST_F(LauncherCommands, TheRuntimeReportIsTheHeadingThenTheModulePart) {
    const std::pair<byte, std::string> reports[] = {
        {1, "Perl error in GetRuntimeInfoFromManagedRuntime: Whoopsie [expected]\n"},
        {2, "Perl method returned undef or empty."},
        {3, "Perl error in GetRuntimeInfoFromManagedRuntime: (value could not be converted to text)"},
        {0, "receiver ready"}};
    for (const auto& [mode, report] : reports) {
        Answer("info" + std::to_string(mode));
        EXPECT_EQ(RuntimeInfo(), heading + "\n" + report);
    }
    const char* report = api.runtimeInfo(launcher);
    api.runtimeInfo(nullptr);  // a null handle leaves the last report in place
    EXPECT_EQ(std::string(report), heading + "\nreceiver ready");
    // The interpreter is the process's: a launcher in the calling mode reports the same module part.
    calling = api.create(Calling);
    EXPECT_EQ(RuntimeInfo(calling), heading + "\nreceiver ready");
    EXPECT_EQ(Answer("wide"), wide);
}

// --- Start and end: each in a process of its own ----------------------------------------------------

struct Ending {
    const char* name;
    std::string module;  // empty: no receiver module at all
    std::string initializeFailure;
    std::string firstAnswer;  // the failure text, or empty when the routines answer
};
void PrintTo(const Ending& e, std::ostream* out) {
    *out << e.name;
}

class LauncherStart : public ::testing::TestWithParam<Ending> {};

TEST_P(LauncherStart, TheMainProgramsEndDecidesTheStart) {
    const Ending& e = GetParam();
    Bridge bridge(e.module.empty() ? nullptr : e.module.c_str());
    VeltrixPerlLauncherHandle launcher = bridge.api->create(Called);
    EXPECT_EQ(errorOf([&] { bridge.api->initialize(launcher, 0); }), e.initializeFailure);
    EXPECT_EQ(errorOf([&] { EXPECT_EQ(bridge.Answer(launcher, "wide"), wide); }), e.firstAnswer);
    bridge.api->destroy(launcher);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, LauncherStart,
    ::testing::Values(
        Ending{"ExitOneIsCode003AndKeepsTheInterpreter", std::string(receiverModule) + "exit 1;\n",
               "Perl 5.40 Launcher: Exception code 003. \nPerl runtime execution failed.", "(no exception)"},
        Ending{"ExitZero", std::string(receiverModule) + "exit 0;\n", "(no exception)", "(no exception)"},
        // A die ends the run with status 255 when $! and $? are clear: not code 003.
        Ending{"Die", std::string(receiverModule) + "$! = 0; $? = 0; die \"main failed [expected]\\n\";\n",
               "(no exception)", "(no exception)"},
        Ending{"NoModule", "", "(no exception)", notArrayReference},
        Ending{"DoesNotCompile", "package Veltrix::Core::Receiver::Receiver;\nsub send_command { return [1] \n",
               "(no exception)", notArrayReference}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LauncherEnd, DestroyingAnyLauncherEndsTheInterpreterAndRunsEndBlocks) {
    TempProductTree markers;
    fs::path marker = markers.root() / "end-block-ran";
    std::string module =
        std::string(receiverModule) + "END { open my $fh, '>', '" + marker.string() + "' or die; close $fh }\n1;\n";
    Bridge bridge(module.c_str());
    VeltrixPerlLauncherHandle first = bridge.api->start(Called);
    VeltrixPerlLauncherHandle second = bridge.api->create(Calling);
    EXPECT_EQ(bridge.Answer(second, "wide"), wide);
    EXPECT_FALSE(fs::exists(marker));
    bridge.api->destroy(first);
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(bridge.FailureOf(second, "wide"), notInitialized);
    bridge.api->destroy(second);
}

TEST(LauncherEnd, XsModulesLoadWhenTheHostKeepsTheBridgeLocal) {
    Bridge bridge(R"PERL(
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
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "perl_alloc"), nullptr);  // the test program does not link libperl
    VeltrixPerlLauncherHandle launcher = bridge.api->start(Called);
    EXPECT_EQ(bridge.api->exchange(launcher, rawMessage(CommandHeader{.commandType = 3}, {100, 200})),
              (std::vector<byte>{(3 + 100 + 200) % 256, 200, 7, 5}));
    bridge.api->destroy(launcher);
}

}  // namespace
