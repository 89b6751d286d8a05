// ServerTest.cpp: the runtime host over a stand-in runtime library, the veltrix-server program's command line,
// the command decoder the server reads with, and the access policy.
#include <gtest/gtest.h>

#include "AccessPolicy.h"
#include "ErrorText.h"
#include "HostClient/CommandDecoder.h"
#include "Messages.h"
#include "NetworkSupport.h"
#include "RuntimeHost.h"
#include "Standins.h"
#include "TempProductTree.h"

namespace veltrix::test::network {
namespace {

// A product whose Perl bridge is the stand-in runtime: it echoes a command as a Value response and throws
// "Stand-in failure [expected]" for one whose flags byte is 0xEE.
class StandinProduct : public ::testing::Test {
protected:
    TempProductTree tree_;
    std::filesystem::path bridge_ = tree_.addNativeLibrary(STANDIN_RUNTIME, "VeltrixPerl540RuntimeNative.dll");
};

TEST_F(StandinProduct, TheHostInitialisesFromTheFirstCommandAndAnswersEveryFailureWithAnException) {
    VeltrixNS::Server::RuntimeHost host(tree_.root().string());
    auto connection = host.Connect(1);
    struct : VeltrixNS::Server::CallTimer {
        void Waiting() noexcept override {}
        void Started() noexcept override {}
    } timer;
    auto execute = [&](Bytes command) {
        Bytes response;
        connection->Execute(command.data(), static_cast<std::uint32_t>(command.size()), response, timer);
        return response;
    };
    Bytes hello = commandMessage(CommandType::Value, {"hello"});
    CommandHeader header = CommandHeader::Read(hello.data());
    for (std::uint8_t caller : {8, 6}) {
        header.calledRuntimeVersion = caller == 8 ? 4 : 0;
        header.callingRuntime = caller;
        EXPECT_EQ(execute(withHeader(header, hello)), withHeader(header, hello));
    }
    std::string calls = StandinCallLog(bridge_);
    EXPECT_EQ(calls.find("Initialize("), calls.rfind("Initialize(")) << calls;
    EXPECT_NE(calls.find("CreateReceiver(1)\nInitialize(8,4,4)\n"), std::string::npos) << calls;
    const struct {
        Bytes command;
        std::uint8_t caller;
        std::string message;
    } failures[] = {
        {commandMessage(CommandType::Value, {}, 0xEE), 8, "Stand-in failure [expected]"},
        {{4, 0, 1, 2, 3}, 0, "veltrix-server: command of 5 bytes is shorter than the 11-byte message header"},
        {{}, 0, "veltrix-server: command of 0 bytes is shorter than the 11-byte message header"},
    };
    for (const auto& failure : failures) {
        Bytes response = execute(failure.command);
        CommandHeader expected{.calledRuntime = failure.caller, .callingRuntime = 4, .commandType = 10};
        EXPECT_EQ(Bytes(response.begin(), response.begin() + 11), withHeader(expected, {}));
        EXPECT_EQ(decodeResponse(response).value,
                  Value(VeltrixNS::HostClient::Map{{"message", failure.message}, {"class", ""}, {"stack", ""}}));
        std::string text(response.begin(), response.end());  // the keys in their documented order
        EXPECT_LT(text.find("message"), text.find("class"));
        EXPECT_LT(text.find("class"), text.find("stack"));
    }
    // Error texts are made UTF-8 first: a byte that starts no valid sequence becomes '?'.
    for (auto [text, valid] : std::vector<std::pair<std::string, std::string>>{
             {"Whoopsie [expected] \xC3\xA9", "Whoopsie [expected] \xC3\xA9"},
             {"bad \xFF\xC3 end", "bad ?? end"},
             {"surrogate \xED\xA0\x80", "surrogate ???"},
             {"cut \xE2\x82", "cut ??"}})
        EXPECT_EQ(VeltrixNS::Server::ValidUtf8(text), valid);
}

TEST_F(StandinProduct, TheProgramNamesWhatIsWrongWithItsCommandLine) {
    InProcessServer taken;
    const std::string product = "--product " + tree_.root().string(), port = std::to_string(taken.Port());
    const struct {
        std::string arguments;
        int status;
        std::string output;  // its beginning
    } cases[] = {
        {"--port seventy", 2, "veltrix-server: --port needs a number from 0 to 65535, not 'seventy'\nusage: "},
        {"--max-frame-bytes 10", 2, "veltrix-server: --max-frame-bytes needs a number from 11 to 2147483647, not '10'"},
        {"--bogus 1", 2, "veltrix-server: unknown option --bogus\n"},
        {"--listen", 2, "veltrix-server: unknown option or missing value: --listen\n"},
        {"--tls", 2, "veltrix-server: --tls needs --cert and --key\n"},
        {"--listen 0.0.0.0", 2,
         "veltrix-server: plain TCP on 0.0.0.0 lets anyone who reaches it run Perl code: use --tls (with --client-ca "
         "to authenticate clients), or --insecure to accept that\n"},
        {"--workers 0", 2, "veltrix-server: --workers needs a number from 1 to 256, not '0'\n"},
        {"--max-worker-rss 5T", 2, "veltrix-server: --max-worker-rss needs a number from 1048576 to "},
        {"--version", 0, "veltrix-server 1.0.0 (Perl 5.40."},
        {"--client-ca ca.pem", 2, "veltrix-server: --cert, --key and --client-ca need --tls\n"},
        {"--help", 0, "usage: veltrix-server [options]\n"},
        {"--product /nonexistent", 1,
         "veltrix-server: Cannot load the Perl bridge "
         "/nonexistent/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll: "},
        {product + " --listen nowhere", 1, "veltrix-server: not an IP address: nowhere\n"},
        {product + " --port " + port, 1,
         "veltrix-server: cannot listen on 127.0.0.1:" + port + ": Address already in use"},
        {product + " --idle-timeout-ms 5 --io-timeout-ms 5 --max-connections 3 --tls --cert /nonexistent/server.pem "
                   "--key server.key",
         1, "veltrix-server: cannot read the server certificate /nonexistent/server.pem\n"},
    };
    for (const auto& test : cases) {
        int status = 0;
        std::string output = Output(VELTRIX_SERVER_PROGRAM " " + test.arguments + " 2>&1", &status);
        EXPECT_EQ(WEXITSTATUS(status), test.status) << test.arguments;
        EXPECT_EQ(output.substr(0, test.output.size()), test.output) << test.arguments;
    }
}

// The server reads commands with the host client's decoder: what the encoder makes comes back, handles are found
// wherever they sit, and faults get the receiver's texts.
TEST(CommandDecoder, ReadsWhatTheEncoderWritesAndNamesFaultsLikeTheReceiver) {
    using namespace VeltrixNS::HostClient;
    const Command inner{CommandType::CreateClassInstance, 0, {"Counter", Handle::Unowned(5)}};
    const Command outer{CommandType::InvokeInstanceMethod, ListContext, {inner, "step", List{1, Map{{"k", 2.5}}}}};
    Bytes message = commandMessage(outer.type, outer.args, outer.flags);
    DecodedCommand decoded = DecodeCommand(message);
    EXPECT_EQ(decoded.command.flags, ListContext);
    ASSERT_EQ(decoded.command.args.size(), 3u);
    EXPECT_EQ(decoded.command.args[0].command()->args[1].value()->asHandle().id(), 5u);
    EXPECT_EQ(*decoded.command.args[2].value(), Value(List{1, Map{{"k", 2.5}}}));
    ASSERT_EQ(decoded.handles.size(), 1u);
    EXPECT_EQ(decoded.handles[0].id, 5u);
    EXPECT_EQ(message[decoded.handles[0].offset - 1], static_cast<std::uint8_t>(Tag::Handle));
    EXPECT_TRUE(DecodeCommand(message, false).command.args[2].value()->isNull());
    const struct {
        Bytes body;
        std::string text;
    } faults[] = {
        {{0, 1, 0, 0, 0, 5, 9, 0, 0, 0, 'a'}, "string at offset 16 claims 9 bytes, only 1 follow"},
        {{0, 1, 0, 0, 0, 8, 1, 0, 0, 0, 0, 1}, "map key at offset 21 is not a scalar"},
        {{0, 0, 0, 0, 0, 7}, "1 bytes left over after the command at offset 16"},
    };
    for (const auto& fault : faults) {
        EXPECT_EQ(errorOf([&] { DecodeCommand(rawMessage(CommandHeader{}, fault.body)); }),
                  "Malformed command: " + fault.text + "\n");
    }
}

// What each command reaches, nested commands included, against the patterns; without any pattern, everything but
// Eval.
TEST(AccessPolicy, CommandsReachOnlyWhatThePatternsAllow) {
    using VeltrixNS::HostClient::Command;
    using VeltrixNS::HostClient::Handle;
    VeltrixNS::Server::AccessPolicy policy, open;
    for (const char* pattern : {"List::Util::*", "MyApp::Thing::new", "main::hello", "/srv/app/*.pl"})
        policy.Allow(pattern);
    const auto eval = static_cast<CommandType>(34);
    const Command hello{CommandType::InvokeGlobalMethod, 0, {"hello"}};
    const struct {
        Command command;
        std::string refusal;
    } cases[] = {
        {{CommandType::LoadLibrary_, 0, {"List::Util"}}, ""},
        {{CommandType::LoadLibrary_, 0, {"/srv/app/tool.pl"}}, ""},
        {hello, ""},
        {{CommandType::CreateClassInstance, 0, {"MyApp::Thing"}}, ""},
        {{CommandType::InvokeInstanceMethod, 0, {Handle::Unowned(7), "new"}}, ""},
        {{CommandType::InvokeInstanceMethod,
          0,
          {Command{CommandType::CreateClassInstance, 0, {"MyApp::Thing"}}, "new"}},
         ""},
        {{CommandType::InvokeGlobalMethod, 0, {Handle::Unowned(8)}}, ""},  // a CODE handle it was given
        {{CommandType::LoadLibrary_, 0, {"POSIX"}}, "loading POSIX"},
        {{CommandType::LoadLibrary_, 0, {"/srv/app/../../tmp/x.pl"}}, "loading the file /srv/app/../../tmp/x.pl"},
        {{CommandType::InvokeGlobalMethod, 0, {"system", "ls"}}, "calling main::system"},
        {{CommandType::InvokeStaticMethod, 0, {"List::Util", "POSIX::system"}}, "calling POSIX::system"},
        {{CommandType::InvokeInstanceMethod, 0, {Handle::Unowned(7), "can", "x"}}, "calling UNIVERSAL::can"},
        {{CommandType::InvokeInstanceMethod, 0, {hello, "new"}}, "calling *::new"},
        {{CommandType::InvokeGlobalMethod, 0, {Command{CommandType::Value, 0, {"POSIX::system"}}}},
         "calling a sub named by a nested command or a non-text value"},
        {{CommandType::Value, 0, {Command{CommandType::InvokeGlobalMethod, 0, {"CORE::GLOBAL::die"}}}},
         "calling CORE::GLOBAL::die"},
        {{CommandType::GetStaticField, 0, {"main", "%ENV"}}, "reading the variable main::ENV"},
        {{eval, 0, {"system 'ls'"}}, "Eval"},
    };
    auto classOf = [](std::uint64_t id) { return id == 7 ? std::string("MyApp::Thing") : std::string("CODE"); };
    for (const auto& test : cases) {
        EXPECT_EQ(policy.Refusal(test.command, classOf).value_or(""), test.refusal) << test.refusal;
        EXPECT_EQ(open.Refusal(test.command, classOf).value_or(""), test.refusal == "Eval" ? "Eval" : "");
    }
    policy.AllowEval();
    EXPECT_FALSE(policy.Refusal({eval, 0, {"1"}}, classOf));
}

}  // namespace
}  // namespace veltrix::test::network
