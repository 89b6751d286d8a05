// The network transport: which client library it loads, the one channel it makes, and its failure codes.
#include "TransportFixture.h"

using namespace transport_test;

namespace {

class Network : public TransportFixture {
protected:
    void SetUp() override { AddOpenSsl(); }

    std::unique_ptr<ITransport> NewTransport(const std::string& address, unsigned short port, bool useTls = false) {
        return std::unique_ptr<ITransport>(Harness().NewNetworkTransport(address, port, useTls));
    }

    void NullChannels(int count) {
        veltrix::test::StandinCall<void (*)(int)>(Native(tcpClient), "StandinNullChannels", count);
    }

    const std::string code013 = "Veltrix Core Exception: Exception code 013. \nReinstall Veltrix package";
};

}  // namespace

TEST_F(Network, PlainTransportLoadsOnlyTheTcpClientAndPassesAddressAndPortUnchanged) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    Add(STANDIN_TLS_CLIENT, tlsClient);
    auto transport = NewTransport("192.168.1.20", 65535);
    EXPECT_EQ(transport->Initialize(4, 0, 2), 0);
    EXPECT_TRUE(Loaded(tcpClient));
    EXPECT_FALSE(Loaded(tlsClient));
    EXPECT_EQ(Log(tcpClient), "tcp CreateTransportChannel(192.168.1.20,65535)\n#1 Initialize(4,0,2)\n");
}

TEST_F(Network, TlsTransportLoadsOnlyTheTlsClient) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    Add(STANDIN_TLS_CLIENT, tlsClient);
    auto transport = NewTransport("10.0.0.1", 8443, true);
    EXPECT_EQ(transport->Initialize(4, 0, 2), 0);
    EXPECT_FALSE(Loaded(tcpClient));
    EXPECT_EQ(Log(tlsClient), "tls CreateTransportChannel(10.0.0.1,8443)\n#1 Initialize(4,0,2)\n");
}

TEST_F(Network, ChannelIsMadeAndInitializedOnceAndCommandsPassThrough) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    auto transport = NewTransport("10.0.0.1", 8080);
    EXPECT_EQ(transport->Initialize(4, 0, 2), 0);
    EXPECT_EQ(transport->Initialize(5, 1, 7), 0);
    auto message = Command(Tcp(8080), {0xC0, 0xFF});
    EXPECT_EQ(transport->SendCommand(message.data(), 13), 13);
    std::vector<byte> response(13);
    EXPECT_EQ(transport->ReadResponse(response.data(), 13), 13);
    EXPECT_EQ(Log(tcpClient), "tcp CreateTransportChannel(10.0.0.1,8080)\n#1 Initialize(4,0,2)\n#1 SendCommand(" +
                                  Hex(message) + ")\n#1 ReadResponse(13)\n");
    message[10] = 0;
    EXPECT_EQ(response, message);
}

TEST_F(Network, MissingExportIsCode011OnEveryInitialize) {
    Add(STANDIN_TCP_CLIENT_NO_EXPORT, tcpClient);
    auto transport = NewTransport("10.0.0.1", 8080);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(FailureOf([&] { transport->Initialize(4, 0, 0); }),
                  "Veltrix Core Exception: Exception code 011. \nReinstall Veltrix package");
    }
}

TEST_F(Network, NullChannelIsCode012) {
    Add(STANDIN_TCP_CLIENT_NULL_CHANNEL, tcpClient);
    auto transport = NewTransport("10.0.0.1", 8080);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(FailureOf([&] { transport->Initialize(4, 0, 0); }),
                  "Veltrix Core Exception: Exception code 012. \nReinstall Veltrix package");
    }
}

TEST_F(Network, InitializeAfterANullChannelTriesAgain) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    auto loader = NewTransport("10.0.0.2", 8080);
    ASSERT_EQ(loader->Initialize(1, 0, 0), 0);  // the client library is loaded for the process from here on
    auto transport = NewTransport("10.0.0.3", 8080);
    NullChannels(1);
    EXPECT_EQ(FailureOf([&] { transport->Initialize(4, 0, 0); }),
              "Veltrix Core Exception: Exception code 012. \nReinstall Veltrix package");
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    std::string log = Log(tcpClient);
    EXPECT_NE(log.find("tcp CreateTransportChannel(10.0.0.3,8080)\ntcp CreateTransportChannel(10.0.0.3,8080)\n#2 "
                       "Initialize(4,0,0)\n"),
              std::string::npos)
        << log;
}

TEST_F(Network, MissingClientLibraryIsCode001NamingIt) {
    auto transport = NewTransport("10.0.0.1", 8080);
    std::string failure = FailureOf([&] { transport->Initialize(4, 0, 0); });
    EXPECT_EQ(
        failure.rfind(
            "Veltrix Core Exception: Exception code 001. \nCannot load: " + Dir() + tcpClient + ". \nError: 126 - ", 0),
        0U)
        << failure;
}

TEST_F(Network, CommandsBeforeASuccessfulInitializeAreCode013) {
    Add(STANDIN_TCP_CLIENT_NO_EXPORT, tcpClient);
    auto transport = NewTransport("10.0.0.1", 8080);
    byte buffer[11] = {};
    EXPECT_EQ(FailureOf([&] { transport->SendCommand(buffer, 11); }), code013);
    EXPECT_EQ(FailureOf([&] { transport->ReadResponse(buffer, 11); }), code013);
    FailureOf([&] { transport->Initialize(4, 0, 0); });
    EXPECT_EQ(FailureOf([&] { transport->SendCommand(buffer, 11); }), code013);
}

TEST_F(Network, EmbeddedRuntimeAndDeployAreNoOpsThatTouchNothing) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    auto transport = NewTransport("10.0.0.1", 8080);
    byte message[11] = {};
    EXPECT_EQ(transport->SetEmbeddedRuntime(4, 0, 2, "/p"), 0);
    EXPECT_EQ(transport->DeployRuntime(message, 11, "/p", 1), 0);
    EXPECT_FALSE(Loaded(tcpClient));
    transport->Initialize(4, 0, 2);
    EXPECT_EQ(transport->SetEmbeddedRuntime(4, 0, 2, "/p"), 0);
    EXPECT_EQ(transport->DeployRuntime(message, 11, "/p", 1), 0);
    EXPECT_EQ(Log(tcpClient), "tcp CreateTransportChannel(10.0.0.1,8080)\n#1 Initialize(4,0,2)\n");
}

TEST_F(Network, TransportsShareOneClientLibraryAndDeleteTheirOwnChannels) {
    Add(STANDIN_TCP_CLIENT, tcpClient);
    auto first = NewTransport("10.0.0.1", 8080);
    auto second = NewTransport("10.0.0.2", 8080);
    first->Initialize(4, 0, 0);
    second->Initialize(4, 0, 0);
    EXPECT_EQ(Log(tcpClient),
              "tcp CreateTransportChannel(10.0.0.1,8080)\n#1 Initialize(4,0,0)\n"
              "tcp CreateTransportChannel(10.0.0.2,8080)\n#2 Initialize(4,0,0)\n");
    ClearLog(tcpClient);
    first.reset();
    EXPECT_EQ(Log(tcpClient), "#1 Destroyed\n");
    // The client library stays loaded for the process.
    second.reset();
    EXPECT_TRUE(Loaded(tcpClient));
    EXPECT_EQ(Log(tcpClient), "#1 Destroyed\n#2 Destroyed\n");
}
