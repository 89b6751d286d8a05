// A C++ host calling Perl end to end: the bridge's exported CreateReceiver, the real receiver module.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "HostClient/PerlClient.h"
#include "TempProductTree.h"

using namespace VeltrixNS::HostClient;
namespace fs = std::filesystem;

namespace {

const char* const sampleModule = R"PERL(
package Sample::Hosting;
use strict;
use warnings;

our $Destroyed = 0;
our $Motto = 'plain';

sub new { my ($class, %args) = @_; return bless {count => $args{start} // 0}, $class }
sub step { my ($self, $by) = @_; $self->{count} += $by; return $self }
sub count { return $_[0]{count} }
sub pair { return ('left', 'right') }
sub fail { die "Whoopsie [expected]\n" }
sub fail_object { die Sample::Hosting::Error->new(code => 42) }
sub length_of { return length $_[0] }
sub DESTROY { $Destroyed++ }

package Sample::Hosting::Error;
use overload '""' => sub { "error object with code $_[0]{code} [expected]" }, fallback => 1;
sub new { my ($class, %fields) = @_; return bless {%fields}, $class }

1;
)PERL";

class PerlHosting : public ::testing::Test {
protected:
    void SetUp() override {
        // The bridge loads the utilities library and the OpenSSL links from its own directory.
        for (const char* sibling : {"Utils.dll", "libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
            fs::copy(fs::path(VELTRIX_NATIVE_DIR) / sibling, tree.nativeDir() / sibling,
                     fs::copy_options::copy_symlinks);
        }
        tree.addBridge();
        tree.addProductPerlModules();
        tree.writeFile(fs::relative(tree.perlLibDir(), tree.root()) / "Sample/Hosting.pm", sampleModule);
        perl = std::make_unique<PerlClient>(tree.root());
        perl->LoadLibrary("Sample::Hosting");
    }

    int64_t handleCount() { return perl->CallFunction("Veltrix::Core::Receiver::Receiver::handle_count").asInt(); }

    veltrix::test::TempProductTree tree;
    std::unique_ptr<PerlClient> perl;
};

Value echo(PerlClient& perl, const Value& v) {
    return perl.Execute(CommandType::Value, {v});
}

}  // namespace

TEST_F(PerlHosting, EveryValueKindComesBackUnchanged) {
    for (int64_t i :
         {int64_t(0), int64_t(-1), std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()}) {
        Value back = echo(*perl, i);
        ASSERT_TRUE(back.is<int64_t>()) << back.typeName();
        EXPECT_EQ(back.asInt(), i);
    }
    for (double d : {1.0, 0.1, -2.5e-300, 1e300, std::numeric_limits<double>::infinity()}) {
        Value back = echo(*perl, d);
        ASSERT_TRUE(back.is<double>()) << d << " came back as " << back.typeName();
        EXPECT_EQ(back.asDouble(), d);
    }
    EXPECT_TRUE(std::isnan(echo(*perl, std::nan("")).asDouble()));
    EXPECT_TRUE(echo(*perl, Value()).isNull());
    EXPECT_EQ(echo(*perl, true), Value(true));
    EXPECT_EQ(echo(*perl, false), Value(false));

    const std::string text =
        "gr\xc3\xbc\xc3\x9f"
        "e \xe4\xb8\x96\xe7\x95\x8c \xf0\x9f\x98\x80";
    EXPECT_EQ(echo(*perl, text), Value(text));
    EXPECT_EQ(perl->CallFunction("Sample::Hosting::length_of", {text}).asInt(), 10) << "Perl sees characters";
    const Bytes binary{std::string("\0\x01\xff\0\x80z", 6)};
    EXPECT_EQ(echo(*perl, binary), Value(binary));
    EXPECT_EQ(perl->CallFunction("Sample::Hosting::length_of", {binary}).asInt(), 6) << "Perl sees bytes";

    Value nested(Map{
        {"list", List{1, "two", List{3.5, Map{{"deep", Value()}}}}}, {"empty", List{}}, {"\xc3\xa9t\xc3\xa9", Map{}}});
    EXPECT_TRUE(echo(*perl, nested).is<Handle>()) << "a map arrives in Perl as a hash reference";
    EXPECT_EQ(perl->Execute(CommandType::Value, {nested}, ByValue), nested);

    Bytes big{std::string(1 << 20, '\0')};
    for (size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(echo(*perl, big), Value(big));
}

TEST_F(PerlHosting, CallsFunctionsInScalarAndListContext) {
    EXPECT_EQ(perl->CallFunction("List::Util::sum", {1, 2, 3}).asInt(), 6);
    EXPECT_EQ(perl->CallFunction("Sample::Hosting::pair", {}, ListContext), Value(List{"left", "right"}));
    EXPECT_EQ(perl->CallFunction("Sample::Hosting::pair").asString(), "right");
    EXPECT_TRUE(perl->HeartBeat());
}

TEST_F(PerlHosting, ObjectsCarryMethodsAndFields) {
    Handle counter = perl->CreateInstance("Sample::Hosting", {"start", 5});
    EXPECT_EQ(counter.type(), "Sample::Hosting");
    perl->CallMethod(counter, "step", {2});
    EXPECT_EQ(perl->CallMethod(counter, "count").asInt(), 7);
    perl->SetField(counter, "count", 40);
    EXPECT_EQ(perl->GetField(counter, "count").asInt(), 40);
    EXPECT_TRUE(perl->GetField(counter, "missing").isNull());

    EXPECT_EQ(perl->GetPackageVariable("Sample::Hosting", "Motto").asString(), "plain");
    perl->SetPackageVariable("Sample::Hosting", "Motto", "changed");
    EXPECT_EQ(perl->GetPackageVariable("Sample::Hosting", "$Motto").asString(), "changed");

    Value array = perl->Execute(CommandType::Array, {1, "b", List{2}});
    EXPECT_EQ(array.asHandle().type(), "ARRAY");
    EXPECT_EQ(perl->Execute(CommandType::ArrayGetSize, {array}).asInt(), 3);
    EXPECT_EQ(perl->Execute(CommandType::ArrayGetItem, {array, 2, 0}).asInt(), 2);
    EXPECT_EQ(perl->RetrieveArray(array.asHandle(), ByValue), Value(List{1, "b", List{2}}));
}

TEST_F(PerlHosting, PerlDieBecomesAnExceptionWithTextClassAndStack) {
    try {
        perl->CallFunction("Sample::Hosting::fail");
        FAIL() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_STREQ(e.what(), "Whoopsie [expected]\n");
        EXPECT_EQ(e.perlClass(), "");
        EXPECT_NE(e.stackTrace().find("Hosting.pm line 13"), std::string::npos) << e.stackTrace();
    }
    try {
        perl->CallClassMethod("Sample::Hosting", "fail_object");
        FAIL() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_EQ(e.message(), "error object with code 42 [expected]");
        EXPECT_EQ(e.perlClass(), "Sample::Hosting::Error");
    }
    try {
        perl->CallFunction("No::Such::function");
        FAIL() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_EQ(e.message(), "Undefined subroutine &No::Such::function called\n");
    }
    try {
        perl->Execute(CommandType::Cast, {1});
        FAIL() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_EQ(e.message(), "Command type 12 (Cast) has no meaning in Perl\n");
    }
    EXPECT_EQ(perl->CallFunction("List::Util::sum", {4, 5}).asInt(), 9) << "interpreter still usable";
}

TEST_F(PerlHosting, DroppingTheLastHandleReleasesThePerlObject) {
    int64_t before = handleCount();
    {
        Handle object = perl->CreateInstance("Sample::Hosting");
        Handle copy = object;
        EXPECT_EQ(handleCount(), before + 1);
        object = Handle();
        EXPECT_EQ(perl->GetPackageVariable("Sample::Hosting", "Destroyed").asInt(), 0) << "a copy still holds it";
    }
    EXPECT_EQ(handleCount(), before);
    EXPECT_EQ(perl->GetPackageVariable("Sample::Hosting", "Destroyed").asInt(), 1);
    try {
        perl->Execute(CommandType::DestructReference, {Handle::Unowned(987654)});
        FAIL() << "no exception";
    } catch (const PerlException& e) {
        EXPECT_EQ(e.message(), "No Perl value with handle 987654 (released or never created)\n");
    }
}

TEST_F(PerlHosting, AChainRunsInOneRoundTripAndLeavesNoHandles) {
    int64_t before = handleCount();
    Command create{CommandType::CreateClassInstance, NoFlags, {"Sample::Hosting", "start", 40}};
    Command step{CommandType::InvokeInstanceMethod, NoFlags, {create, "step", 2}};
    EXPECT_EQ(perl->Execute(CommandType::GetInstanceField, {step, "count"}).asInt(), 42);
    Command pair{CommandType::InvokeGlobalMethod, ListContext, {"Sample::Hosting::pair"}};
    EXPECT_EQ(perl->Execute(CommandType::InvokeGlobalMethod, {"CORE::join", "+", pair}).asString(), "left+right");
    EXPECT_EQ(handleCount(), before);
    EXPECT_EQ(perl->GetPackageVariable("Sample::Hosting", "Destroyed").asInt(), 1) << "the chain's object is gone";
}

TEST_F(PerlHosting, HostileMessagesGetWellFormedAnswersAndPerlStaysUsable) {
    std::vector<std::vector<byte>> seeds;
    for (const Command& c : {Command{CommandType::InvokeGlobalMethod, NoFlags, {"List::Util::sum", 1, 2.5}},
                             Command{CommandType::Value, ByValue, {Map{{"k", List{Bytes{"\0\xff"}, "t"}}}}},
                             Command{CommandType::GetStaticField, NoFlags, {"Sample::Hosting", "Motto"}},
                             Command{CommandType::Array, NoFlags, {true, Value(), -7}}}) {
        seeds.emplace_back();
        Encoder::message(seeds.back(), c);
    }
    std::mt19937 random(20261206);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    int wellFormed = 0;
    const int rounds = 1500;
    for (int i = 0; i < rounds; ++i) {
        std::vector<byte> message;
        if (i % 3 == 0) {
            message = {4, 0, 0, 0, 0, 0, 0, 0, 0, 8, static_cast<byte>(below(40))};
            size_t n = below(48);
            for (size_t k = 0; k < n; ++k) message.push_back(static_cast<byte>(random()));
        } else {
            message = seeds[below(seeds.size())];
            size_t at = 11 + below(message.size() - 11);
            if (i % 3 == 1)
                message[at] = static_cast<byte>(random());
            else
                message.resize(at);
        }
        if (message.size() <= 10) message.push_back(0);
        if (message[10] == static_cast<byte>(CommandType::HeartBeat)) message[10] = 0;
        std::span<const byte> answer = perl->session().RoundTrip(message);
        std::vector<byte> copy(answer.begin(), answer.end());
        try {
            Response r = DecodeResponse(copy, [](uint64_t id, std::string type) { return Handle::Unowned(id, type); });
            if (r.type == CommandType::Value || r.type == CommandType::Exception) ++wellFormed;
            if (r.type == CommandType::Exception) {
                ASSERT_TRUE(r.value.is<Map>());
                EXPECT_FALSE(r.value.asMap().at("message").asString().empty());
            }
        } catch (const MalformedResponse& e) {
            ADD_FAILURE() << "round " << i << ": " << e.what();
        }
    }
    EXPECT_EQ(wellFormed, rounds);
    EXPECT_EQ(perl->CallFunction("List::Util::sum", {20, 22}).asInt(), 42);
}

TEST_F(PerlHosting, TooShortMessageIsRefusedByTheBridge) {
    std::vector<byte> tenBytes(10, 0);
    try {
        perl->session().RoundTrip(tenBytes);
        FAIL() << "no exception";
    } catch (const BridgeError& e) {
        EXPECT_NE(std::string(e.what()).find("Message too short"), std::string::npos) << e.what();
    }
    EXPECT_EQ(perl->CallFunction("List::Util::sum", {1}).asInt(), 1);
}

// The launcher's C conversions of the message stand in for pack('C*', ...) and unpack('C*', ...).
const char* const byteConversionCheck = R"PERL(
package Sample::Bytes;
use strict;
use warnings;
no warnings qw(numeric uninitialized pack unpack);

package Sample::Bytes::Dies { use overload '0+' => sub { die "numify failed [expected]\n" }, fallback => 1; }
package Sample::Bytes::Tied {
    sub TIEARRAY { my ($class, @v) = @_; return bless [@v], $class }
    sub FETCH { return $_[0][$_[1]] * 2 }
    sub FETCHSIZE { return scalar @{$_[0]} }
}

sub mismatches {
    my @found;
    my $receiver = \&Veltrix::Core::Receiver::Receiver::_message_bytes;
    push @found, 'receiver does not use the launcher routines'
        unless $receiver == \&Veltrix::Native::Perl540Launcher::bytes_from_array;
    my @sparse;
    $sparse[3] = 9;
    tie my @tied, 'Sample::Bytes::Tied', 1, 200, 3;
    for my $case ([0, 1, 255], [256, -1, 300, -256], ['7', 'x', undef, 3.9, 2**40 + 5, '300'], [], \@sparse,
                  [(0 .. 255) x 3], \@tied) {
        my $want = pack('C*', @$case);
        my $got = Veltrix::Native::Perl540Launcher::bytes_from_array($case);
        push @found, "bytes_from_array(@$case): " . unpack('H*', $got) unless $got eq $want && !utf8::is_utf8($got);
    }
    push @found, 'a dying element did not die'
        if eval { Veltrix::Native::Perl540Launcher::bytes_from_array([1, Sample::Bytes::Dies->new]); 1 };
    push @found, 'not an array accepted' if eval { Veltrix::Native::Perl540Launcher::bytes_from_array({}); 1 };
    for my $text ('', 'abc', join('', map { chr } 0 .. 255), "\x{100}A\x{3b1}\x{ff}") {
        my $want = join ',', unpack('C*', $text);
        my $got = Veltrix::Native::Perl540Launcher::array_from_bytes($text);
        push @found, "array_from_bytes($want)" unless ref $got eq 'ARRAY' && join(',', @$got) eq $want;
    }
    return join '; ', @found;
}
1;
)PERL";

TEST_F(PerlHosting, LauncherByteConversionsAgreeWithPackAndUnpack) {
    fs::path script = tree.writeFile("byte-conversions.pl", byteConversionCheck);
    perl->LoadLibrary(script.string());
    EXPECT_EQ(perl->CallFunction("Sample::Bytes::mismatches").asString(), "");
    EXPECT_EQ(perl->CallFunction("List::Util::sum", {40, 2}).asInt(), 42);
}

TEST(PerlHostingSetup, MissingBridgeIsAClearError) {
    veltrix::test::TempProductTree empty;
    try {
        PerlClient client(empty.root());
        FAIL() << "no exception";
    } catch (const BridgeError& e) {
        EXPECT_NE(
            std::string(e.what()).find("Cannot load the Perl bridge " + PerlClient::BridgePath(empty.root()).string()),
            std::string::npos)
            << e.what();
    }
}
