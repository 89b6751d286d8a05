// Host functions end to end: a C++ host defines functions and callbacks, Perl code calls them through the bridge's
// in-memory transport and VeltrixCppRuntimeNative.dll (one interpreter for every case); and the C++ runtime's
// receiver driven through the library's exports with messages of the command format.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>

#include "ErrorText.h"
#include "HostClient/PerlClient.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "Library.h"
#include "Messages.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using namespace veltrix::test;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;

namespace {

const char* const sampleModule = R"PERL(
package Sample::Callbacks;
use strict;
use warnings;
use Veltrix::Client;
use Veltrix::Core::Protocol::Codec qw(F_LIST_CONTEXT);
use Veltrix::Host;

our $cpp = Veltrix::Host::client();

sub echo_every_type {
    return main::echo(undef, !!1, !!0, 42, 2.5, "smile \x{263a}", "\xff\x00raw", [1, [2]], {key => 'value'});
}
sub by_name {
    return [$cpp->invoke_global_method('main::add', 2, 3), $cpp->invoke_global_method('add', 4, 5),
            $cpp->execute_with_flags('InvokeGlobalMethod', F_LIST_CONTEXT, 'main::add', 1, 1)];
}
sub sorted { my $cmp = shift; return [sort $cmp @_] }
my %handlers;
sub on { $handlers{$_[0]} = $_[1]; return }
sub emit { my ($event, @args) = @_; return $handlers{$event}->(@args) }
sub forget { delete $handlers{$_[0]}; return }
sub drain { my $next = shift; my @all; while (defined(my $item = $next->())) { push @all, $item } return \@all }

# Perl level $n of a chain host -> P1 -> C1 -> P2 -> C2 -> P3 -> C3; $mode says who fails and who catches.
sub level {
    my ($n, $mode) = @_;
    die "P$n died\n" if $mode =~ /P$n dies/;
    return "P$n>" . main::step($n, $mode) unless $mode =~ /P$n catches/;
    return eval { "P$n>" . main::step($n, $mode) } // "P$n caught: " . $@->message . ' (' . $@->class . ')';
}
sub dive { return main::dive(@_) }
sub twice { return 2 * $_[0] }
# Perl calling itself in memory, through the bridge's generic name.
sub self_call { return Veltrix::Client->new(runtime => 'Perl')->invoke_global_method('Sample::Callbacks::twice', $_[0]) }
sub outer { return 'outer:' . main::inner($_[0]) }
# The failure of some Perl code: message|class of the error object, or its text.
sub failure {
    my ($code) = @_;
    return 'no failure' if eval "$code; 1";
    return ref $@ ? $@->message . '|' . $@->class : "$@";
}
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

std::string failure(const std::string& perlCode) {
    return perl().CallFunction("Sample::Callbacks::failure", {perlCode}).asString();
}

}  // namespace

TEST(HostFunctions, PerlCallsThemWithEveryValueTypeAndByName) {
    List received;
    perl().Define("main::echo", [&](const List& args) {
        received = args;
        return Value(args);
    });
    const List every{Value(),
                     true,
                     false,
                     42,
                     2.5,
                     "smile \u263a",
                     Bytes{std::string("\xff\0raw", 5)},
                     List{1, List{2}},
                     Map{{"key", "value"}}};
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::echo_every_type", {}, ByValue), Value(every));
    EXPECT_EQ(received, every);
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::by_name", {}, ByValue), Value(List{5, 9, List{2}}));
    EXPECT_EQ(perl().Eval("main::add(20, 22)").asInt(), 42);
    EXPECT_EQ(errorOf([] { perl().Define("no good", [] {}); }), "'no good' is not a Perl sub name");
}

TEST(HostFunctions, CallbacksServeFirstSortHandlersAndIterators) {
    Handle big = perl().Callback([](int64_t x) { return x > 10; });
    EXPECT_EQ(perl().CallFunction("List::Util::first", {big, 3, 14, 15}).asInt(), 14);
    Handle byLength = perl().Callback([](const std::string& a, const std::string& b) {
        return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::sorted", {byLength, "ccc", "a", "bb"}, ByValue),
              Value(List{"a", "bb", "ccc"}));
    perl().CallFunction("Sample::Callbacks::on",
                        {"greet", perl().Callback([](std::string who) { return "hi " + who; })});
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::emit", {"greet", "Ada"}).asString(), "hi Ada");
    Handle next = perl().Callback([left = 3](const List&) mutable { return left > 0 ? Value(left--) : Value(); });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::drain", {next}, ByValue), Value(List{3, 2, 1}));
    perl().CallFunction("Sample::Callbacks::forget", {"greet"});
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
    PerlException uncaught = [] {
        try {
            perl().CallFunction("Sample::Callbacks::level", {1, "C3 throws"});
        } catch (const PerlException& e) {
            return e;
        }
        return PerlException("(no exception)", "", "");
    }();
    EXPECT_EQ(uncaught.message(), "C3 failed");
    EXPECT_EQ(perl().CallMethod(uncaught.object(), "class").asString(), "VeltrixNS::HostClient::PerlException");
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
// answer.
TEST(HostFunctions, ACommandSentDuringACallbackLeavesTheOuterAnswerAlone) {
    perl().Define("main::inner", [](int64_t x) {
        return "inner:" + std::to_string(perl().CallFunction("Sample::Callbacks::self_call", {x}).asInt());
    });
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::outer", {21}).asString(), "outer:inner:42");
}

TEST(HostFunctions, FaultsDieInPerlWithAClearMessageAndEverythingStaysUsable) {
    perl().Define("main::fails_oddly", [] { throw 7; });
    perl().Define("main::gives_handle", [] { return perl().Callback([] {}); });
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> gone = sentinel;
    perl().Define("main::gone", [s = std::move(sentinel)] { return *s; });
    const std::pair<const char*, const char*> faults[] = {
        {"$cpp->invoke_global_method('main::nope', 1)",
         "No host function named main::nope (never defined, or released)\n|"},
        {"$cpp->invoke_global_method(Veltrix::Core::Protocol::Handle->new(987654))",
         "No host function with handle 987654 (released or never created)\n|"},
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
    };
    for (const auto& [code, expected] : faults) {
        EXPECT_EQ(failure(code), expected) << code;
        EXPECT_EQ(perl().Eval("main::add(1, 2)").asInt(), 3) << "after " << code;
    }
    EXPECT_TRUE(gone.expired());
}

TEST(HostFunctions, ReleasedWhenNeitherSideHoldsThem) {
    auto watch = [](std::weak_ptr<int>& alive) {
        auto sentinel = std::make_shared<int>(7);
        alive = sentinel;
        return [s = std::move(sentinel)](const List&) { return Value(*s); };
    };
    std::weak_ptr<int> kept, dropped, replaced;
    Handle handler = perl().Callback(watch(kept));
    perl().CallFunction("Sample::Callbacks::on", {"tick", handler});
    handler = Handle();
    EXPECT_EQ(perl().CallFunction("Sample::Callbacks::emit", {"tick"}).asInt(), 7) << "Perl still holds it";
    perl().CallFunction("Sample::Callbacks::forget", {"tick"});
    EXPECT_TRUE(kept.expired());

    Handle unused = perl().Callback(watch(dropped));
    EXPECT_FALSE(dropped.expired());
    unused = Handle();
    EXPECT_TRUE(dropped.expired());

    perl().Define("main::twice", watch(replaced));
    perl().Define("main::twice", [](int64_t x) { return 2 * x; });
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(perl().Eval("main::twice(4)").asInt(), 8);
}

// The library's receiver as another runtime's transport drives it.
TEST(CppRuntimeLibrary, AnswersCommandsInTheFormat) {
    perl().Define("main::t_sum", [](const List& args) {
        int64_t sum = 0;
        for (const Value& v : args) sum += v.asInt();
        return sum;
    });
    Library library((tree().nativeDir() / "VeltrixCppRuntimeNative.dll").string());
    using Create = IReceiver* (*)(int32_t);
    IReceiver* receiver = library.get<Create>("CreateReceiver")(1);
    EXPECT_EQ(receiver, library.get<Create>("CreateReceiver")(0));
    const CommandHeader toCpp{.calledRuntime = CppRuntimeNumber, .callingRuntime = PerlRuntimeNumber};
    auto answer = [&](std::vector<byte> message) {
        int n = receiver->SendCommand(message.data(), static_cast<int32_t>(message.size()));
        std::vector<byte> response(static_cast<size_t>(n));
        EXPECT_EQ(receiver->ReadResponse(response.data(), n), 0);
        return response;
    };
    auto command = [&](CommandType type, std::vector<Argument> args, uint8_t flags = NoFlags) {
        std::vector<byte> message;
        Encoder::message(message, Command{type, flags, std::move(args)}, toCpp);
        return answer(message);
    };
    auto exceptionText = [](const std::vector<byte>& response) {
        Response r = decodeResponse(response);
        return r.type == CommandType::Exception ? r.value.asMap().at("message").asString() : "not an exception";
    };

    std::vector<byte> sum = command(CommandType::InvokeGlobalMethod, {"main::t_sum", 1, 2});
    EXPECT_EQ(CommandHeader::Read(sum.data()).calledRuntime, PerlRuntimeNumber);
    EXPECT_EQ(CommandHeader::Read(sum.data()).callingRuntime, CppRuntimeNumber);
    EXPECT_EQ(decodeResponse(sum).value, Value(3));
    EXPECT_EQ(decodeResponse(command(CommandType::InvokeGlobalMethod, {"t_sum", 4}, ListContext)).value,
              Value(List{4}));
    Command inner{CommandType::InvokeGlobalMethod, ListContext, {"main::t_sum", 1, 1}};
    EXPECT_EQ(decodeResponse(command(CommandType::InvokeGlobalMethod, {"main::t_sum", inner, 5})).value, Value(7));
    CommandHeader heartBeatHeader = toCpp;
    heartBeatHeader.commandType = static_cast<uint8_t>(CommandType::HeartBeat);
    std::vector<byte> heartBeat = answer(rawMessage(heartBeatHeader, {0x31, 0x32}));
    EXPECT_EQ(heartBeat, rawMessage(toCpp.ResponseTo(CommandType::HeartBeat), {0x31, 0x32}));

    const std::pair<std::vector<byte>, const char*> refused[] = {
        {command(CommandType::InvokeGlobalMethod, {}),
         "InvokeGlobalMethod takes at least 1 argument (host function name or handle, arguments...), got 0\n"},
        {command(CommandType::InvokeGlobalMethod, {true}),
         "InvokeGlobalMethod: expected a host function name or handle, got bool\n"},
        {command(CommandType::DestructReference, {}),
         "DestructReference takes at least 1 argument (handles...), got 0\n"},
        {command(CommandType::DestructReference, {"x"}), "DestructReference: expected handles, got x\n"},
        {command(CommandType::DestructReference, {Handle::Unowned(999999)}),
         "No host function with handle 999999 (released or never created)\n"},
        {command(CommandType::Reference, {1}),
         "Command type 7 has no meaning in the C++ runtime: it answers InvokeGlobalMethod (16) and DestructReference "
         "(17)\n"},
        {answer({8, 0, 0}), "Malformed command: message of 3 bytes is shorter than the 11-byte header\n"},
    };
    for (const auto& [response, text] : refused) EXPECT_EQ(exceptionText(response), text);

    auto* transmitter = library.get<ITransmitter* (*)(int32_t)>("CreateTransmitter")(1);
    EXPECT_EQ(errorOf([&] { transmitter->SendCommand(sum.data(), 11); }),
              "The C++ runtime sends no commands through VeltrixCppRuntimeNative.dll: a C++ host calls other runtimes "
              "through their own libraries");
}
