// EndToEndTest.cpp: the real Perl runtime behind veltrix-server, reached from the bridge's exported SendCommand
// through the real TCP and TLS client libraries.
#include <gtest/gtest.h>

#include "ErrorText.h"
#include "Messages.h"
#include "NetworkSupport.h"
#include "TempProductTree.h"

namespace veltrix::test::network {
namespace {

// A product tree with the bridge, its Perl modules, Utils.dll, the client libraries and the OpenSSL links,
// served by veltrix-server and called through the bridge loaded in this process. Parameter: TLS (or TCP).
class EndToEnd : public ::testing::TestWithParam<bool> {
protected:
    EndToEnd() {
        tree_.addRunnableBridge();
        for (const char* name : {"VeltrixTcpClient.dll", "VeltrixTcpTlsClient.dll"})
            tree_.addNativeLibrary(std::filesystem::path(VELTRIX_NATIVE_DIR) / name);
        tree_.writeFile("scripts/boom.pl", "package Boom; sub go { die \"Whoopsie [expected]\\n\" } 1;\n");
        Library bridge((tree_.nativeDir() / "VeltrixPerl540RuntimeNative.dll").string());
        sendCommand_ = bridge.get<int (*)(byte*, int32_t)>("SendCommand");
        readResponse_ = bridge.get<int (*)(byte*, int32_t)>("ReadResponse");
        getNativeError_ = bridge.get<const char* (*)()>("GetNativeError");
        bridge.leak();  // its transports and channels live for the process
    }
    // The message sent through the bridge to 127.0.0.1:port, over TCP (channel 1) or TLS (2).
    Bytes Call(unsigned short port, Bytes message) {
        CommandHeader header = CommandHeader::Read(message.data());
        header.channelType = GetParam() ? 2 : 1;
        header.address = {127, 0, 0, 1};
        header.port = port;
        message = withHeader(header, std::move(message));
        int length = sendCommand_(message.data(), static_cast<int32_t>(message.size()));
        if (length < 0) throw std::runtime_error(std::to_string(length) + ": " + getNativeError_());
        Bytes response(static_cast<std::size_t>(length));
        EXPECT_EQ(readResponse_(response.data(), length), length);
        return response;
    }

    TempProductTree tree_;
    int (*sendCommand_)(byte*, int32_t) = nullptr;
    int (*readResponse_)(byte*, int32_t) = nullptr;
    const char* (*getNativeError_)() = nullptr;
};
INSTANTIATE_TEST_SUITE_P(TcpAndTls, EndToEnd, ::testing::Bool());

TEST_P(EndToEnd, PerlAnswersThroughTheBridgeADieComesBackAsAnExceptionAndNoServerIsMinusTwo) {
    const Certificates& c = Certificates::shared();
    UseClientSettings();
    ServerProcess server(
        "--port 0 --product " + tree_.root().string() +
        (GetParam() ? " --tls --cert " + c.path("server.pem") + " --key " + c.path("server.key") : ""));
    auto heartBeat = VeltrixNS::Native::Definitions::HeartBeatMessage(4, 0, 8);
    Bytes beat(heartBeat.begin(), heartBeat.end());
    // Nothing listening: -2, and GetNativeError has the client library's message.
    unsigned short closed = InProcessServer().Port();
    EXPECT_EQ(errorOf([&] { Call(closed, beat); }),
              std::string("-2: ") + (GetParam() ? "VeltrixTcpTlsClient" : "VeltrixTcpClient") +
                  ": 127.0.0.1:" + std::to_string(closed) + ": cannot connect: Connection refused");
    EXPECT_EQ(Call(server.Port(), beat),
              withHeader(CommandHeader::Read(beat.data()).ResponseTo(CommandType::HeartBeat), beat));
    Bytes sum = commandMessage(CommandType::InvokeGlobalMethod, {"List::Util::sum", 1, 2, 3});
    EXPECT_EQ(decodeResponse(Call(server.Port(), sum)).value, Value(6));
    Call(server.Port(), commandMessage(CommandType::LoadLibrary_, {(tree_.root() / "scripts/boom.pl").string()}));
    Response died = decodeResponse(Call(server.Port(), commandMessage(CommandType::InvokeGlobalMethod, {"Boom::go"})));
    EXPECT_EQ(died.type, CommandType::Exception);
    EXPECT_EQ(died.value.asMap().at("message"), Value("Whoopsie [expected]\n"));
    EXPECT_EQ(decodeResponse(Call(server.Port(), sum)).value, Value(6));  // the interpreter still serves
    server.Stop();
    EXPECT_NE(server.Log().find(GetParam() ? "opened (TLS)" : "opened (TCP)"), std::string::npos) << server.Log();
    EXPECT_EQ(server.Log().find("warning: TLS without --client-ca: clients are not authenticated") != std::string::npos,
              GetParam());
}

}  // namespace
}  // namespace veltrix::test::network
