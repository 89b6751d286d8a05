// The transmitter: length rule, channel selection and caching from the header, and what reaches the channel.
#include "TransportFixture.h"

using namespace transport_test;

namespace {

class Transmitter : public TransportFixture {
protected:
    void SetUp() override {
        AddRuntime(clr);
        AddRuntime(perl);
        AddOpenSsl();
        Add(STANDIN_TCP_CLIENT, tcpClient);
        Add(STANDIN_TLS_CLIENT, tlsClient);
        transmitter = NewTransmitter();
    }

    int Send(std::vector<byte> message) {
        return transmitter->SendCommand(message.data(), static_cast<int32_t>(message.size()));
    }

    std::vector<byte> Read(int length) {
        std::vector<byte> response(static_cast<size_t>(length));
        EXPECT_EQ(transmitter->ReadResponse(response.data(), length), length);
        return response;
    }

    std::unique_ptr<ITransmitter> transmitter;
};

// A channel handed over by the caller; tells when it is deleted.
class HandedChannel : public ITransport {
public:
    explicit HandedChannel(bool& deleted) : deleted_(deleted) {}
    ~HandedChannel() override { deleted_ = true; }
    int Initialize(byte, byte, byte) override { return 0; }
    int SendCommand(byte*, int32_t) override { return 0; }
    int ReadResponse(byte* buffer, int32_t length) override {
        if (length > 0) buffer[0] = 0x5A;
        return 77;
    }
    int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }

private:
    bool& deleted_;
};

}  // namespace

TEST_F(Transmitter, RefusesMessagesShorterThanTheHeaderBeforeReadingThem) {
    std::vector<byte> ten(10, 0);
    const std::string refused = "Message byte array length is less than 11";
    EXPECT_EQ(FailureOf([&] { transmitter->SendCommand(ten.data(), 10); }), refused);
    EXPECT_EQ(FailureOf([&] { transmitter->SendCommand(nullptr, 11); }), refused);
    EXPECT_EQ(FailureOf([&] { transmitter->SendCommand(ten.data(), -1); }), refused);
    EXPECT_EQ(FailureOf([&] { transmitter->DeployRuntime(ten.data(), 10, "/deploy", 0); }), refused);
    EXPECT_EQ(FailureOf([&] { transmitter->DeployRuntime(nullptr, 0, "/deploy", 0); }), refused);
    EXPECT_FALSE(Loaded(clr));
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()), nullptr);
}

TEST_F(Transmitter, ElevenByteInMemoryCommandReachesTheCalledReceiverUnchanged) {
    auto command = Command(Header{}, {});
    ASSERT_EQ(command.size(), 11U);
    command[5] = 0xAB;  // address bytes are not read for channel type 0
    EXPECT_EQ(Send(command), 11);
    auto expected = command;
    expected[10] = 0;  // the stand-in answers with the command type Value
    EXPECT_EQ(Read(11), expected);
    EXPECT_NE(Log(clr).find("SendCommand(" + Hex(command) + ")\nReadResponse(11)\n"), std::string::npos) << Log(clr);
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()), Harness().InMemoryChannel(transmitter.get()));
    EXPECT_TRUE(Harness().NetworkChannelKeys(transmitter.get()).empty());
}

TEST_F(Transmitter, HeaderBytesNineZeroAndOneReachTheChannelInitializeInThatOrder) {
    Header h;
    h.called = 0;
    h.version = 2;
    h.calling = 4;
    Send(Command(h));
    EXPECT_EQ(Log(clr).rfind("CreateReceiver(1)\nInitialize(4,0,2)\n", 0), 0U) << Log(clr);
    EXPECT_EQ(Log(perl).rfind("CreateReceiver(0)\nInitialize(4,0,2)\n", 0), 0U) << Log(perl);

    Header net = Tcp(8080);
    net.called = 0;
    net.version = 2;
    net.calling = 4;
    Send(Command(net));
    EXPECT_NE(Log(tcpClient).find("#1 Initialize(4,0,2)\n"), std::string::npos) << Log(tcpClient);
}

TEST_F(Transmitter, NetworkTransportsAreCachedByAddressAndLittleEndianPort) {
    Header first = Tcp(0x1F90);  // bytes 0x90, 0x1F
    auto message = Command(first, {1, 2, 3});
    ASSERT_EQ(message[7], 0x90);
    ASSERT_EQ(message[8], 0x1F);
    EXPECT_EQ(Send(message), 14);
    EXPECT_EQ(Send(Command(Tcp(8080), {4})), 12);
    EXPECT_EQ(Send(Command(Tcp(8081), {5})), 12);

    EXPECT_EQ(Harness().NetworkChannelKeys(transmitter.get()),
              (std::vector<std::string>{"10.0.0.1:8080", "10.0.0.1:8081"}));
    std::string log = Log(tcpClient);
    EXPECT_NE(log.find("tcp CreateTransportChannel(10.0.0.1,8080)\n#1 Initialize(4,0,0)\n#1 SendCommand(" +
                       Hex(message) + ")\n#1 SendCommand("),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("tcp CreateTransportChannel(10.0.0.1,8081)\n#2 Initialize(4,0,0)\n#2 SendCommand("),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("#1 Initialize", log.find("#1 Initialize") + 1), std::string::npos) << "initialised twice";
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()),
              Harness().NetworkChannel(transmitter.get(), "10.0.0.1:8081"));
    EXPECT_FALSE(Loaded(tlsClient));
}

TEST_F(Transmitter, AddressTextHasNoLeadingZeros) {
    Header h = Tcp(1);
    h.address = {192, 0, 7, 255};
    Send(Command(h));
    EXPECT_EQ(Harness().NetworkChannelKeys(transmitter.get()), std::vector<std::string>{"192.0.7.255:1"});
    EXPECT_NE(Log(tcpClient).find("tcp CreateTransportChannel(192.0.7.255,1)\n"), std::string::npos);
}

TEST_F(Transmitter, TlsCommandReusesAnExistingTcpTransportForTheSameAddressAndPort) {
    Send(Command(Tcp(8080, 1)));
    Send(Command(Tcp(8080, 2), {9}));
    EXPECT_FALSE(Loaded(tlsClient));
    EXPECT_NE(Log(tcpClient).find("#1 SendCommand(12:"), std::string::npos) << Log(tcpClient);
    EXPECT_EQ(Harness().NetworkChannelKeys(transmitter.get()), std::vector<std::string>{"10.0.0.1:8080"});
}

TEST_F(Transmitter, TlsCommandOnAFreshTransmitterMakesATlsTransportThatLaterTcpCommandsUse) {
    Send(Command(Tcp(8080, 2)));
    Send(Command(Tcp(8080, 1), {9}));
    EXPECT_FALSE(Loaded(tcpClient));
    std::string log = Log(tlsClient);
    EXPECT_EQ(log.rfind("tls CreateTransportChannel(10.0.0.1,8080)\n#1 Initialize(4,0,0)\n#1 SendCommand(11:", 0), 0U)
        << log;
    EXPECT_NE(log.find("#1 SendCommand(12:"), std::string::npos) << log;
}

TEST_F(Transmitter, UnknownChannelTypeIsCode023AndKeepsThePreviousChannelForReading) {
    EXPECT_EQ(Send(Command(Tcp(8080), {0x41, 0x42})), 13);
    ITransport* before = Harness().CurrentChannel(transmitter.get());
    Header bad = Tcp(9000, 3);
    auto message = Command(bad);
    EXPECT_EQ(FailureOf([&] { Send(message); }), "Veltrix Core Exception: Exception code 023.");
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()), before);
    EXPECT_EQ(Harness().NetworkChannelKeys(transmitter.get()), std::vector<std::string>{"10.0.0.1:8080"});
    auto response = Read(13);
    EXPECT_EQ(response[11], 0x41);
    EXPECT_EQ(response[12], 0x42);
    EXPECT_NE(Log(tcpClient).find("#1 ReadResponse(13)\n"), std::string::npos);

    message[2] = 0xFF;
    EXPECT_EQ(FailureOf([&] { Send(message); }), "Veltrix Core Exception: Exception code 023.");
    EXPECT_EQ(FailureOf([&] { transmitter->DeployRuntime(message.data(), 11, "/p", 1); }),
              "Veltrix Core Exception: Exception code 023.");
}

TEST_F(Transmitter, InMemoryCommandAfterANetworkCommandSwitchesBackAndKeepsTheNetworkTransport) {
    Send(Command(Header{}));
    ITransport* inMemory = Harness().CurrentChannel(transmitter.get());
    Send(Command(Tcp(8080)));
    ITransport* network = Harness().CurrentChannel(transmitter.get());
    EXPECT_NE(network, inMemory);
    Send(Command(Header{}, {7}));
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()), inMemory);
    EXPECT_EQ(Harness().NetworkChannel(transmitter.get(), "10.0.0.1:8080"), network);
    EXPECT_EQ(Read(12)[11], 7);
}

TEST_F(Transmitter, ReadResponseBeforeAnyCommandIsRefused) {
    byte buffer[4];
    EXPECT_EQ(FailureOf([&] { transmitter->ReadResponse(buffer, 4); }),
              "Veltrix Core Exception: Exception code 013. \nNo channel selected: send a command before reading its "
              "response");
}

TEST_F(Transmitter, SetEmbeddedRuntimeAlwaysGoesThroughTheInMemoryTransport) {
    Send(Command(Tcp(8080)));
    EXPECT_EQ(transmitter->SetEmbeddedRuntime(4, 0, 2, "/opt/runtime"), 42);
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()), Harness().InMemoryChannel(transmitter.get()));
    std::string log = Log(clr);
    EXPECT_EQ(log.rfind("CreateReceiver(1)\nInitialize(4,0,2)\n", 0), 0U) << log;
    EXPECT_NE(log.find("SetEmbeddedRuntime(2,/opt/runtime)\n"), std::string::npos) << log;
}

TEST_F(Transmitter, DeployRuntimeUsesTheHeaderChannel) {
    auto message = Command(Tcp(8080), {1});
    EXPECT_EQ(transmitter->DeployRuntime(message.data(), 12, "/deploy", 1), 0);
    EXPECT_EQ(Log(tcpClient).find("DeployRuntime"), std::string::npos) << Log(tcpClient);

    auto inMemory = Command(Header{}, {2});
    EXPECT_EQ(transmitter->DeployRuntime(inMemory.data(), 12, "/deploy", 3), 73);
    EXPECT_NE(Log(clr).find("DeployRuntime(" + Hex(inMemory) + ",/deploy,3)\n"), std::string::npos) << Log(clr);
}

TEST_F(Transmitter, FailedChannelInitializeLeavesTheNewChannelSelectedAndCached) {
    Send(Command(Header{}));
    fs::remove(Native(tcpClient));
    Add(STANDIN_TCP_CLIENT_NO_EXPORT, tcpClient);
    EXPECT_EQ(FailureOf([&] { Send(Command(Tcp(8080))); }),
              "Veltrix Core Exception: Exception code 011. \nReinstall Veltrix package");
    EXPECT_EQ(Harness().NetworkChannelKeys(transmitter.get()), std::vector<std::string>{"10.0.0.1:8080"});
    EXPECT_EQ(Harness().CurrentChannel(transmitter.get()),
              Harness().NetworkChannel(transmitter.get(), "10.0.0.1:8080"));
    byte buffer[11];
    EXPECT_EQ(FailureOf([&] { transmitter->ReadResponse(buffer, 11); }),
              "Veltrix Core Exception: Exception code 013. \nReinstall Veltrix package");
}

TEST_F(Transmitter, FailuresOfTheOtherSidePassThroughUntouched) {
    EXPECT_EQ(FailureOf([&] { Send(Command(Header{}, {0xEE})); }), "[St13runtime_error] Stand-in failure [expected]");
    EXPECT_EQ(FailureOf([&] { Send(Command(Tcp(8080), {0xEE})); }), "[St13runtime_error] Stand-in failure [expected]");
}

TEST_F(Transmitter, HandedChannelIsOwnedUntilTheNextCommandReplacesIt) {
    bool deleted = false;
    transmitter->SetTransportChannel(new HandedChannel(deleted));
    byte buffer[1] = {0};
    EXPECT_EQ(transmitter->ReadResponse(buffer, 1), 77);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_FALSE(deleted);
    Send(Command(Header{}));
    EXPECT_TRUE(deleted);
}
