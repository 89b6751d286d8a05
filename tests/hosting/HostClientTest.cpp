// The C++ host client: its codec without a bridge (bytes as documented, hostile responses refused), then calls
// into Perl through the bridge's CreateReceiver and the real receiver module, on one interpreter shared by every
// case (what the receiver makes of each command is tested with the module itself), and the same calls to a
// veltrix-server on loopback over TCP and TLS.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "ErrorText.h"
#include "HostClient/PerlClient.h"
#include "Messages.h"
#include "NetworkSupport.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
using namespace veltrix::test;
using VeltrixNS::Native::Definitions::HeaderOffset::Body;
namespace fs = std::filesystem;

namespace {

const char* const sampleModule = R"PERL(
package Sample::Hosting;
sub new { my ($class, %args) = @_; return bless {count => $args{start} // 0}, $class }
sub step { my ($self, $by) = @_; $self->{count} += $by; return $self }
sub pair { return ('left', 'right') }
sub fail { die "Whoopsie [expected]\n" }
sub fail_object { die bless {code => 42}, 'Sample::Hosting::Error' }
sub length_of { return length $_[0] }
sub add { return $_[0] + $_[1] }
sub leave { exit $_[0] }
package Sample::Hosting::Error {
    use overload '""' => sub { "error object $_[0]{code} [expected]" }, fallback => 1;
    sub code { $_[0]{code} }
}
# The launcher's C conversions of the message stand in for pack('C*', ...) and unpack('C*', ...).
package Sample::Hosting::Tied { sub TIEARRAY { shift; bless [@_] } sub FETCH { $_[0][$_[1]] * 2 } sub FETCHSIZE { 3 } }
package Sample::Hosting::Dies { use overload '0+' => sub { die "numify [expected]\n" }, fallback => 1; }
*to_bytes = \&Veltrix::Native::Perl540Launcher::bytes_from_array;
*to_array = \&Veltrix::Native::Perl540Launcher::array_from_bytes;
sub byte_conversion_mismatches {
    my @found = \&Veltrix::Core::Receiver::Receiver::_message_bytes == \&to_bytes ? () : ('the receiver uses others');
    tie my @tied, 'Sample::Hosting::Tied', 1, 200, 3;
    my @sparse;
    $sparse[3] = 9;
    for my $case ([0, 1, 255], [256, -1, 300, -256], ['7', 'x', undef, 3.9, 2**40 + 5, '300'], [], \@sparse,
                  [(0 .. 255) x 3], \@tied) {
        my $got = to_bytes($case);
        push @found, "to_bytes(@$case)" unless $got eq pack('C*', @$case) && !utf8::is_utf8($got);
    }
    push @found, 'a dying element passed' if eval { to_bytes([1, bless [], 'Sample::Hosting::Dies']); 1 };
    push @found, 'a hash passed' if eval { to_bytes({}); 1 };
    for my $text ('', join('', map { chr } 0 .. 255), "\x{100}A\x{3b1}\x{ff}") {
        push @found, "to_array($text)" unless join(' ', @{to_array($text)}) eq join ' ', unpack('C*', $text);
    }
    return join '; ', @found;
}
1;
)PERL";

// The product tree of the in-process interpreter and of the servers.
const TempProductTree& tree() {
    static TempProductTree tree;
    static bool filled = (tree.addRunnableBridge(), tree.writePerlModule("Sample/Hosting.pm", sampleModule), true);
    (void)filled;
    return tree;
}

PerlClient& perl() {
    static PerlClient client = [] {
        PerlClient c(tree().root());
        c.LoadLibrary("Sample::Hosting");
        return c;
    }();
    return client;
}

template <typename Action>
PerlException perlError(Action&& action) try {
    action();
    return PerlException("(no exception)", "", "");
} catch (const PerlException& e) {
    return e;
}

// Bytes from hex text; spaces are for reading only.
std::vector<byte> hex(std::string_view text) {
    std::vector<byte> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != ' ') out.push_back(static_cast<byte>(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16)));
    }
    return out;
}

// A response from Perl back to C++ with the given body.
std::vector<byte> response(const std::vector<byte>& body) {
    return rawMessage(CommandHeader{.calledRuntime = CppRuntimeNumber, .callingRuntime = PerlRuntimeNumber}, body);
}

// `inner` wrapped `levels` times.
template <typename T>
T nested(int levels, T inner, auto wrap) {
    return levels == 0 ? inner : wrap(nested(levels - 1, std::move(inner), wrap));
}

// `levels` openings of a one-entry list or map around a null, as encoded bytes.
std::vector<byte> nestedBytes(int levels, const std::vector<byte>& opening) {
    std::vector<byte> out;
    for (int i = 0; i < levels; ++i) out.insert(out.end(), opening.begin(), opening.end());
    out.push_back(0);
    return out;
}

}  // namespace

TEST(HostCodec, EncodesTheDocumentedBytesAndDecodesThemBack) {
    EXPECT_EQ(commandMessage(CommandType::InvokeGlobalMethod, {"List::Util::sum", 1, 2, 3}),
              hex("0400000000000000000810 00 04000000 050f0000004c6973743a3a5574696c3a3a73756d"
                  "030100000000000000 030200000000000000 030300000000000000"));

    const Value every(List{Value(), true, false, int64_t(-1), 0.5, "\xc3\xa9", Bytes{std::string("\0\xff", 2)},
                           Map{{"k", 7}}, Handle::Unowned(9, "Foo")});
    std::vector<byte> out;
    Encoder(out).value(every);
    EXPECT_EQ(out, hex("07 09000000 00 02 01 03ffffffffffffffff 04000000000000e03f 0502000000c3a9 060200000000ff"
                       "08 01000000 05010000006b 030700000000000000 09 0900000000000000 00000000"));
    EXPECT_EQ(decodeResponse(response(out)).value, every);
    EXPECT_EQ(decodeResponse(response(hex("09 2a00000000000000 03000000466f6f"))).value.asHandle().type(), "Foo");
    EXPECT_EQ(errorOf([&] { every.asList()[6].asInt(); }), "Perl value is bytes, not int64");
}

TEST(HostCodec, RefusesWhatCannotTravel) {
    std::vector<byte> out;
    Value deep = nested(65, Value(), [](Value v) { return Value(List{std::move(v)}); });
    EXPECT_EQ(errorOf([&] { Encoder(out).value(deep); }), "value nested deeper than 64 levels");
    Command chain = nested(65, Command{}, [](Command c) { return Command{CommandType::Value, NoFlags, {c}}; });
    EXPECT_EQ(errorOf([&] { Encoder::message(out, chain); }), "commands nested deeper than 64 levels");
    EXPECT_EQ(errorOf([&] { Encoder(out).value(Value(Handle())); }), "an empty handle cannot be sent");
    EXPECT_EQ(errorOf([&] {
                  Encoder(out).value(Map{{"ok", "a\xed\xa0\x80"}});
              }),
              "string is not valid UTF-8 at byte 1 (send byte strings as Bytes)");
}

TEST(HostCodec, MalformedResponsesSayWhatAndWhere) {
    const std::pair<std::vector<byte>, const char*> cases[] = {
        {hex("0800"), "2 bytes are shorter than the 11-byte header"},
        {response({}), "value is cut off at offset 11"},
        {response(hex("63")), "unknown type tag 99 at offset 11"},
        {response(hex("03 0102")), "int64 is cut off at offset 11"},
        {response(hex("04 01")), "double is cut off at offset 11"},
        {response(hex("05 0100")), "string is cut off at offset 11"},
        {response(hex("05 ffffffff 41")), "string claims 4294967295 bytes at offset 11"},
        {response(hex("06 02000000 41")), "byte string claims 2 bytes at offset 11"},
        {response(hex("07 ffffff7f")), "list claims 2147483647 entries at offset 11"},
        {response(hex("08 02000000 00 00")), "map claims 2 entries at offset 11"},
        {response(hex("08 01000000 03010000000000000000")), "map key is int64 at offset 16"},
        {response(hex("09 0100000000000000 05000000")), "handle type name claims 5 bytes at offset 11"},
        {response(hex("00 00")), "1 bytes left over at offset 12"},
        {response(nestedBytes(100, hex("07 01000000"))), "list nested deeper than 64 levels at offset 331"},
        {response(nestedBytes(100, hex("08 01000000 0500000000"))), "map nested deeper than 64 levels at offset 651"},
        {response(hex("05 03000000 41 c0 80")), "string holds invalid UTF-8 at offset 17"},
        {response(hex("09 0100000000000000 02000000 f4 90")), "handle type name holds invalid UTF-8 at offset 24"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(errorOf([&] { decodeResponse(bytes); }), std::string("Malformed response: ") + text);
    }
    EXPECT_EQ(decodeResponse(response(nestedBytes(64, hex("07 01000000")))).value,
              nested(64, Value(), [](Value v) { return Value(List{std::move(v)}); }));
}

TEST(HostValues, ConversionsKeepTheValueOrSayWhy) {
    const std::map<std::string, std::vector<std::optional<int>>> series{{"a", {1, std::nullopt}}, {"b", {}}};
    const Value value(series);
    EXPECT_EQ(value, Value(Map{{"a", List{1, Value()}}, {"b", List{}}}));
    EXPECT_EQ((value.as<std::unordered_map<std::string, std::vector<std::optional<int>>>>().at("a")), series.at("a"));
    EXPECT_EQ(Value(uint64_t(INT64_MAX) + 1), Value("9223372036854775808")) << "the format's decimal digits";
    const Value text("view");
    EXPECT_EQ(text.as<std::string_view>(), "view");
    const std::pair<std::function<void()>, const char*> refusals[] = {
        {[] { Value(int64_t(INT32_MAX) + 1).as<int>(); }, "Perl value 2147483648 is out of range for int32"},
        {[] { Value(-1).as<uint64_t>(); }, "Perl value -1 is out of range for uint64"},
        {[] { Value("18446744073709551616").as<uint64_t>(); },
         "Perl value 18446744073709551616 is out of range for uint64"},
        {[] { Value(UINT64_MAX).as<int64_t>(); }, "Perl value is string, not int64"},
        {[] {
             Value(Map{{"k", List{true}}}).as<std::map<std::string, std::vector<short>>>();
         },
         "map value 'k': list element 0: Perl value is bool, not int16"},
    };
    for (const auto& [convert, text] : refusals) EXPECT_EQ(errorOf(convert), text);
}

namespace {

using veltrix::test::network::ServerProcess;

// A client of a veltrix-server on loopback serving the tests' product tree, over TLS or plain TCP (one server of
// each per process).
PerlClient connect(bool tls, unsigned short port = 0) {
    const auto& certificates = veltrix::test::Certificates::shared();
    const std::string options = "--port 0 --product " + tree().root().string();
    static ServerProcess tcp(options), secure(options + " --tls --cert " + certificates.path("server.pem") + " --key " +
                                              certificates.path("server.key"));
    veltrix::test::network::UseClientSettings();  // trust in the test CA
    return PerlClient::Connect({VELTRIX_PRODUCT_DIR, "127.0.0.1", port != 0 ? port : (tls ? secure : tcp).Port(), tls});
}

}  // namespace

// The same calls in process, and remote over TCP and TLS.
class PerlHostingEverywhere : public testing::TestWithParam<const char*> {
protected:
    static PerlClient& perl() {
        static PerlClient tcp = connect(false), tls = connect(true);
        static bool loaded = (tcp.LoadLibrary("Sample::Hosting"), tls.LoadLibrary("Sample::Hosting"), true);
        (void)loaded;
        return GetParam() == std::string("InProcess") ? ::perl() : GetParam() == std::string("Tcp") ? tcp : tls;
    }
};

TEST_P(PerlHostingEverywhere, EveryValueKindComesBackUnchanged) {
    const std::string text = "gr\xc3\xbc\xc3\x9f \xe4\xb8\x96 \xf0\x9f\x98\x80";
    const Bytes binary{std::string("\0\x01\xff\0\x80z", 6)};
    const Value every(List{INT64_MIN, INT64_MAX, UINT64_MAX, 1.0, -2.5e-300, std::numeric_limits<double>::infinity(),
                           Value(), false, text, binary, Bytes{std::string(1 << 20, '\xa5')}, Map{{"k", List{}}}});
    EXPECT_EQ(perl().Execute(CommandType::Value, {every}, ByValue), every);
    EXPECT_TRUE(std::isnan(perl().Execute(CommandType::Value, {std::nan("")}).asDouble()));
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::length_of", {text}).asInt(), 8) << "Perl sees characters";
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::length_of", {binary}).asInt(), 6) << "Perl sees bytes";
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::add", {UINT64_MAX - 1, 1}).as<uint64_t>(), UINT64_MAX);
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::add", {INT64_MIN, -1}).typeName(), "double") << "not wrapped";
    // A temporary's list comes back by value: nothing dangles (AddressSanitizer would see it).
    for (const Value& dir : perl().GetPackageVariable("main", "@INC").asList()) EXPECT_FALSE(dir.asString().empty());
}

TEST_P(PerlHostingEverywhere, FunctionsObjectsFieldsArraysChainsAndHandles) {
    EXPECT_EQ(perl().CallFunction("List::Util::sum", {1, 2, 3}).asInt(), 6);
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::pair", {}, ListContext), Value(List{"left", "right"}));
    EXPECT_TRUE(perl().HeartBeat());

    auto handles = [] { return perl().CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt(); };
    const int64_t before = handles();
    Handle counter = perl().CreateInstance("Sample::Hosting", {"start", 5});
    EXPECT_EQ(perl().GetField(perl().CallMethod(counter, "step", {2}).asHandle(), "count").asInt(), 7);
    perl().SetField(counter, "count", 40);
    perl().SetPackageVariable("Sample::Hosting", "Motto", "changed");
    EXPECT_EQ(perl().GetPackageVariable("Sample::Hosting", "$Motto").asString(), "changed");
    Command create{CommandType::CreateClassInstance, NoFlags, {"Sample::Hosting", "start", 40}};
    perl().CallMethod(counter, "step", {Command{CommandType::GetInstanceField, NoFlags, {create, "count"}}});
    EXPECT_EQ(perl().GetField(counter, "count").asInt(), 80);
    Handle copy = counter;
    counter = Handle();
    EXPECT_EQ(handles(), before + 1) << "a copy still holds it";
    copy = Handle();
    EXPECT_EQ(handles(), before) << "dropping the last handle released the object";

    Value array = perl().Execute(CommandType::Array, {1, "b", List{2}});
    EXPECT_EQ(perl().RetrieveArray(array.asHandle(), ByValue), Value(List{1, "b", List{2}}));
}

TEST_P(PerlHostingEverywhere, FailuresBecomeExceptionsWithTextClassAndStack) {
    PerlException die = perlError([] { perl().CallFunction("Sample::Hosting::fail"); });
    EXPECT_EQ(die.message(), "Whoopsie [expected]\n");
    EXPECT_NE(die.stackTrace().find("Hosting.pm line 6"), std::string::npos) << die.stackTrace();
    EXPECT_FALSE(die.object().valid());
    PerlException object = perlError([] { perl().CallClassMethod("Sample::Hosting", "fail_object"); });
    EXPECT_EQ(object.what() + object.perlClass(), std::string("error object 42 [expected]Sample::Hosting::Error"));
    EXPECT_EQ(perl().CallMethod(object.object(), "code").asInt(), 42) << "the object itself";
}

INSTANTIATE_TEST_SUITE_P(Places, PerlHostingEverywhere, testing::Values("InProcess", "Tcp", "Tls"),
                         [](const auto& info) { return std::string(info.param); });

TEST(PerlHosting, TheLaunchersOwnChecksAndByteConversions) {
    EXPECT_EQ(errorOf([] { perl().session().RoundTrip(std::vector<byte>(Body - 1)); }),
              "Perl 5.40 Launcher: Exception code 011. \nMessage too short");
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::byte_conversion_mismatches").asString(), "");
}

TEST(PerlHosting, ExitInPerlDoesNotEndTheHost) {
    try {
        perl().CallFunction("Sample::Hosting::leave", {3});
        ADD_FAILURE() << "exit came back as a result";
    } catch (const PerlExit& exit) {
        EXPECT_EQ(exit.perlClass() + " " + std::to_string(exit.status()), "Veltrix::Exit 3");
        EXPECT_EQ(exit.message(),
                  "exit(3) called at " + (tree().perlLibDir() / "Sample/Hosting.pm").string() + " line 10.\n");
    }
    EXPECT_EQ(perl().CallFunction("Sample::Hosting::add", {1, 2}).asInt(), 3) << "Perl goes on";
}

TEST(PerlHosting, EvalIncludePathsAndSpecialVariables) {
    EXPECT_EQ(perl().Eval("(__PACKAGE__, scalar @{[4, 5, 6]})", ListContext), Value(List{"main", 3}));
    EXPECT_EQ(perlError([] { perl().Eval("1 +"); }).message().rfind("syntax error at (eval ", 0), 0u);
    EXPECT_EQ(perl().GetPackageVariable("main", "%ENV").asMap().at("PATH").asString(), std::getenv("PATH"));

    TempProductTree extra;
    extra.writePerlModule("Sample/Added.pm", "package Sample::Added; sub answer { 42 } 1;");
    perl().AddIncludePath(extra.perlLibDir());
    perl().AddIncludePath(extra.perlLibDir());
    auto inc = perl().GetPackageVariable("main", "@INC").as<std::vector<std::string>>();
    EXPECT_EQ(std::count(inc.begin(), inc.end(), extra.perlLibDir().string()), 1);
    EXPECT_EQ(inc.at(0), extra.perlLibDir().string());
    perl().LoadLibrary("Sample::Added");
}

TEST(PerlHostingSetup, ABridgeThatCannotBeLoadedIsAClearError) {
    TempProductTree tree;
    const std::string bridge = PerlClient::BridgePath(tree.root()).string();
    EXPECT_EQ(errorOf([&] { PerlClient client(tree.root()); }).rfind("Cannot load the Perl bridge " + bridge + ": ", 0),
              0u);
    tree.addNativeLibrary(fs::path(VELTRIX_NATIVE_DIR) / "Utils.dll", fs::path(bridge).filename());
    EXPECT_EQ(errorOf([&] { PerlClient client(tree.root()); }),
              "The Perl bridge " + bridge + " has no CreateReceiver: " + bridge + ": undefined symbol: CreateReceiver");
    tree.addBridge();
    EXPECT_EQ(errorOf([&] { PerlClient client(tree.root()); }),
              "Cannot start Perl: the product tree has no receiver module " +
                  (tree.perlLibDir() / "Veltrix/Core/Receiver/Receiver.pm").string());
}

TEST(PerlRemoteSetup, AServerThatCannotBeReachedIsAConnectionError) {
    EXPECT_THROW(connect(false, 1), ConnectionError);
    EXPECT_EQ(errorOf([] { connect(false, 1); }), "VeltrixTcpClient: 127.0.0.1:1: cannot connect: Connection refused");
}
