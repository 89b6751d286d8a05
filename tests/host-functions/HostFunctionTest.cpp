// Host functions end to end: a C++ host defines functions and callbacks, Perl code calls them through the bridge's
// in-memory transport and VeltrixCppRuntimeNative.dll (one interpreter for every case); and the C++ runtime's
// receiver driven through the library's exports with messages of the command format.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "ErrorText.h"
#include "HostClient/PerlClient.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "Library.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using namespace veltrix::test;
namespace fs = std::filesystem;

namespace {

const char* const sampleModule = R"PERL(
package Sample::Callbacks;
use strict;
use warnings;
use Veltrix::Client;
use Veltrix::Core::Protocol::Codec qw(F_LIST_CONTEXT);
use Veltrix::Host;

our $cpp = Veltrix::Host::client();
sub echo_every_type { main::echo(undef, !!1, !!0, 42, 2.5, "smile \x{263a}", "\xff\x00raw", [1, [2]], {key => 'value'}) }
sub by_name {
    [$cpp->invoke_global_method('main::add', 2, 3), $cpp->invoke_global_method('add', 4, 5),
     $cpp->execute_with_flags('InvokeGlobalMethod', F_LIST_CONTEXT, 'main::add', 1, 1),
     $cpp->invoke_global_method('main::add', $cpp->nested('InvokeGlobalMethod', 'add', 1, 1), 5),
     unpack('H*', Veltrix::Bridge::Native::send_command($cpp->header('HeartBeat') . '12'))];
}
sub sorted { my $cmp = shift; [sort $cmp @_] }
my %handlers;
sub on { $handlers{$_[0]} = $_[1]; return }
sub emit { my ($event, @args) = @_; $handlers{$event}->(@args) }
sub forget { delete $handlers{$_[0]}; return }
sub drain { my $next = shift; my @all; while (defined(my $item = $next->())) { push @all, $item } \@all }
# Perl level $n of host -> P1 -> C1 -> P2 -> C2 -> P3 -> C3; $mode says who fails and who catches.
sub level {
    my ($n, $mode) = @_;
    die "P$n died\n" if $mode =~ /P$n dies/;
    return "P$n>" . main::step($n, $mode) unless $mode =~ /P$n catches/;
    return eval { "P$n>" . main::step($n, $mode) } // "P$n caught: " . $@->message . ' (' . $@->class . ')';
}
sub dive { main::dive(@_) }
# Perl calling itself in memory: the transport loads the called runtime's library by Perl's generic name.
sub self_call { Veltrix::Client->new(runtime => 'Perl')->invoke_global_method('Sample::Callbacks::twice', $_[0]) }
sub twice { 2 * $_[0] }
sub outer { 'outer:' . main::inner($_[0]) }
# The failure of some Perl code: message|class of the error object.
sub failure { eval "$_[0]; 1" ? 'no failure' : $@->message . '|' . $@->class }
1;
)PERL";

const TempProductTree& tree() {
    static TempProductTree tree;
    static bool filled = (tree.addRunnableBridge(), tree.addNativeLibrary(CPP_RUNTIME_LIBRARY),
                          tree.writePerlModule("Sample/Callbacks.pm", sampleModule), true);
    (void)filled;
    return tree;
}

PerlClient& perl() {
    static PerlClient client = [] {
        PerlClient c(tree().root());
        c.LoadLibrary("Sample::Callbacks");
        c.Define("main::add", [](int64_t a, int64_t b) { return a + b; });
        return c;
    }();
    return client;
}

// A callable that keeps `alive` from expiring while it exists.
auto watched(std::weak_ptr<int>& alive) {
    auto sentinel = std::make_shared<int>(7);
    alive = sentinel;
    return [s = std::move(sentinel)](const List&) { return Value(*s); };
}

}  // namespace

TEST(HostFunctions, PerlCallsThemWithEveryValueTypeAndByName) {
    List received;
    perl().Define("main::echo", [&](const List& args) { return Value(received = args); });
    const Value every(List{Value(), true, false, 42, 2.5, "smile \u263a", Bytes{std::string("\xff\0raw", 5)},
                           List{1, List{2}}, Map{{"key", "value"}}});
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::echo_every_type", {}, ByValue), every);
    EXPECT_EQ(received, every.asList());
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::by_name", {}, ByValue),
              Value(List{5, 9, List{2}, 7, "040000000000000000080b3132"}));
    EXPECT_EQ(errorOf([] { perl().Define("no good", [] {}); }), "'no good' is not a Perl sub name");
}

// Callbacks as the block of first, a sort comparator, a handler Perl keeps, an iterator; each lives while either
// side holds it.
TEST(HostFunctions, CallbacksServePerlCodeAndLiveWhileEitherSideHoldsThem) {
    Handle big = perl().Callback([](int64_t x) { return x > 10; });
    EXPECT_EQ(perl().CallFunction("List::Util::first", {big, 3, 14, 15}).asInt(), 14);
    Handle byLength = perl().Callback([](const std::string& a, const std::string& b) {
        return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::sorted", {byLength, "ccc", "a", "bb"}, ByValue),
              Value(List{"a", "bb", "ccc"}));
    Handle next = perl().Callback([left = 3](const List&) mutable { return left > 0 ? Value(left--) : Value(); });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::drain", {next}, ByValue), Value(List{3, 2, 1}));

    std::weak_ptr<int> kept, dropped, replaced;
    Handle handler = perl().Callback(watched(kept));
    perl().CallFunction("Sample::Callbacks::on", {"tick", handler});
    handler = Handle();
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::emit", {"tick"}).asInt(), 7) << "Perl still holds it";
    perl().CallFunction("Sample::Callbacks::forget", {"tick"});
    EXPECT_TRUE(kept.expired());
    Handle unused = perl().Callback(watched(dropped));
    unused = Handle();
    EXPECT_TRUE(dropped.expired());
    perl().Define("main::twice", watched(replaced));
    perl().Define("main::twice", [](int64_t x) { return 2 * x; });
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(perl().Eval("main::twice(4)").asInt(), 8);
}

// C++ -> Perl -> C++ -> Perl -> C++ -> Perl -> C++ on one thread, which holds the client's lock all the way down;
// a failure arrives at the level above it with its text, and goes on up until a level catches it.
TEST(HostFunctions, ReentryNestsAndFailuresArriveAtTheirLevel) {
    bool lockedForOthers = false;
    perl().Define("main::step", [&](int64_t n, const std::string& mode) -> std::string {
        const std::string me = "C" + std::to_string(n);
        if (n == 3) {
            if (mode.find("C3 throws int") != std::string::npos) throw 7;
            if (mode.find("C3 throws") != std::string::npos) throw std::runtime_error("C3 failed");
            auto lock = perl().Lock();
            lockedForOthers = !std::async(std::launch::async, [m = lock.mutex()] { return m->try_lock(); }).get();
            return me;
        }
        try {
            return me + ">" + perl().CallFunction("Sample::Callbacks::level", {n + 1, mode}).asString();
        } catch (const PerlException& e) {
            if (mode.find(me + " catches") == std::string::npos) throw;
            return me + " caught: " + e.message();
        }
    });
    const std::pair<const char*, const char*> chains[] = {
        {"", "P1>C1>P2>C2>P3>C3"},
        {"C3 throws, P3 catches", "P1>C1>P2>C2>P3 caught: C3 failed (std::runtime_error)"},
        {"C3 throws int, P3 catches",
         "P1>C1>P2>C2>P3 caught: main::step threw a C++ exception of type int, which is not a std::exception (int)"},
        {"P3 dies, C2 catches", "P1>C1>P2>C2 caught: P3 died\n"},
        {"P2 dies, C1 catches", "P1>C1 caught: P2 died\n"},
    };
    for (const auto& [mode, expected] : chains) {
        EXPECT_EQ(perl().CallFunction("Sample::Callbacks::level", {1, mode}).asString(), expected) << mode;
    }
    EXPECT_TRUE(lockedForOthers);
    try {
        perl().CallFunction("Sample::Callbacks::level", {1, "C3 throws"});
        ADD_FAILURE() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_EQ(e.message(), "C3 failed");
        EXPECT_EQ(perl().CallMethod(e.object(), "class").asString(), "VeltrixNS::HostClient::PerlException");
    }
}

TEST(HostFunctions, NestingStopsAtTheDocumentedDepth) {
    perl().Define("main::dive", [](int64_t n, int64_t target) {
        return n == target ? n : perl().CallFunction("Sample::Callbacks::dive", {n + 1, target}).asInt();
    });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::dive", {1, 64}).asInt(), 64);
    EXPECT_EQ(errorOf([] {
                  perl().CallFunction("Sample::Callbacks::dive", {1, 65});
              }),
              "Host function calls nested deeper than 64 levels: main::dive was not called\n");
}

// Another runtime called while a callback runs (Perl itself, in memory): the command around it still reads its own
// answer. Nothing on the way fails, so nothing reaches the configured error log.
TEST(HostFunctions, CommandsSentDuringACallbackKeepTheirAnswersApartAndRecordNothing) {
    fs::path logs = tree().root() / "logs";
    fs::create_directories(logs);
    perl().Eval("Veltrix::Client->set_working_directory('" + logs.string() + "')");
    perl().Eval("eval { Veltrix::Bridge::Native::send_command('short') }; 1");
    ASSERT_FALSE(fs::is_empty(logs)) << "a failure of the bridge is recorded there";
    for (const auto& record : fs::directory_iterator(logs)) fs::remove(record);

    perl().Define("main::inner", [](int64_t x) {
        return "inner:" + std::to_string(perl().CallFunction("Sample::Callbacks::self_call", {x}).asInt());
    });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::outer", {21}).asString(), "outer:inner:42");
    EXPECT_TRUE(fs::is_empty(logs));
}

TEST(HostFunctions, FaultsDieInPerlWithAClearMessageAndEverythingStaysUsable) {
    perl().Define("main::fails_oddly", [] { throw 7; });
    perl().Define("main::gives_handle", [] { return perl().Callback([] {}); });
    std::weak_ptr<int> gone;
    perl().Define("main::gone", watched(gone));
    const std::pair<const char*, const char*> faults[] = {
        {"$cpp->invoke_global_method('main::nope', 1)",
         "No host function named main::nope (never defined, or released)\n|"},
        {"$cpp->invoke_global_method(987654)", "No host function with handle 987654 (released or never created)\n|"},
        {"main::add('two', 3)",
         "main::add: argument 1: Perl value is string, not int64|VeltrixNS::HostClient::ValueError"},
        {"main::add(1)", "main::add takes 2 arguments, got 1|VeltrixNS::HostClient::ValueError"},
        {"main::fails_oddly()",
         "main::fails_oddly threw a C++ exception of type int, which is not a std::exception|int"},
        {"main::gives_handle()",
         "main::gives_handle returned a handle, which cannot go back: host functions return null, booleans, numbers, "
         "text, bytes, lists and maps\n|"},
        {"$cpp->get_static_field('Some::Package', 'x')",
         "Command type 3 has no meaning in the C++ runtime: it answers InvokeGlobalMethod (16) and DestructReference "
         "(17)\n|"},
        {"undef &main::gone; $cpp->invoke_global_method('main::gone')",
         "No host function named main::gone (never defined, or released)\n|"},
        {"$cpp->execute('InvokeGlobalMethod')",
         "InvokeGlobalMethod takes at least 1 argument (host function name or handle, arguments...), got 0\n|"},
        {"$cpp->invoke_global_method(!!1)", "InvokeGlobalMethod: expected a host function name or handle, got bool\n|"},
        {"$cpp->execute('DestructReference', 'x')", "DestructReference: expected handles, got x\n|"},
        {"$cpp->decode(Veltrix::Bridge::Native::send_command($cpp->header('InvokeGlobalMethod')))",
         "Malformed command: command body at offset 11 is cut off (flags and argument count need 5 bytes)\n|"},
    };
    for (const auto& [code, expected] : faults) {
        EXPECT_EQ(perl().CallFunction("Sample::Callbacks::failure", {code}).asString(), expected) << code;
        EXPECT_EQ(perl().Eval("main::add(1, 2)").asInt(), 3) << "after " << code;
    }
    EXPECT_TRUE(gone.expired());
}

// The transmitter that the library hands to a transport: the C++ runtime sends nothing through it.
TEST(CppRuntimeLibrary, TransmitterRefusesToSend) {
    Library library((tree().nativeDir() / "VeltrixCppRuntimeNative.dll").string());
    auto* transmitter = library.get<VeltrixNS::Native::Interfaces::ITransmitter* (*)(int32_t)>("CreateTransmitter")(1);
    byte message[11] = {};
    EXPECT_EQ(errorOf([&] { transmitter->SendCommand(message, 11); }),
              "The C++ runtime sends no commands through VeltrixCppRuntimeNative.dll: a C++ host calls other runtimes "
              "through their own libraries");
}
