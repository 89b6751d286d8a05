// The transmitter and both transports, in process: other runtimes' libraries and the client libraries are
// fakes behind the loader seam, found under the paths the core derives from its own directory.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ErrorText.h"
#include "Messages.h"
#include "PerlNativeTransmitter.h"
#include "Transport/TransportInMemory.h"
#include "Transport/TransportNetwork.h"
#include "TransportFakes.h"

using namespace transport_test;
using veltrix::test::CommandHeader;
using veltrix::test::errorOf;
using VeltrixNS::Native::Transport::TransportInMemory;
using VeltrixNS::Native::Transport::TransportNetwork;

namespace VeltrixNS::Native::Transport {
struct TransportInMemoryProbe {
    static void HeartBeats(ITransport* transport) {
        auto& t = dynamic_cast<TransportInMemory&>(*transport);
        t.SendHeartBeatToCalledRuntime();
        t.SendHeartBeatToCallingRuntime();
    }
};
}  // namespace VeltrixNS::Native::Transport

namespace {

const std::string reinstall = "Reinstall Veltrix package";
std::string Code(const char* code, const std::string& detail) {
    return std::string("Veltrix Core Exception: Exception code ") + code + ". \n" + detail;
}
std::string CannotLoad(const std::string& path) {
    return Code("001", "Cannot load: " + path + ". \nError: 126 - " + path +
                           ": cannot open shared object file: No such file or directory");
}

// An in-memory command from Perl (4) to the called runtime; a network command to 10.0.0.1 by default.
std::vector<byte> ToRuntime(byte called, std::initializer_list<byte> body = {}, byte version = 0) {
    return veltrix::test::rawMessage(
        CommandHeader{.calledRuntime = called, .calledRuntimeVersion = version, .callingRuntime = 4, .commandType = 9},
        body);
}
std::vector<byte> Tcp(uint16_t port, std::initializer_list<byte> body = {}, byte channel = 1,
                      std::array<byte, 4> address = {10, 0, 0, 1}) {
    return veltrix::test::rawMessage(
        CommandHeader{.channelType = channel, .address = address, .port = port, .callingRuntime = 4, .commandType = 9},
        body);
}
std::vector<byte> Answer(std::vector<byte> command) {
    command[10] = 0;
    return command;
}

// Each test starts with the libraries of Clr (0), Perl (4) and Python (5) and the client libraries in place.
class Transport : public ::testing::Test {
protected:
    static veltrix::test::FakeLibraries& Fakes() {
        static veltrix::test::FakeLibraries fakes;
        return fakes;
    }
    void SetUp() override {
        AddRuntime<0>(Fakes());
        AddRuntime<4>(Fakes());
        AddRuntime<5>(Fakes());
        AddClientLibraries(Fakes());
        NullChannelsToGo = ChannelsMade = 0;
        Calls.clear();
    }
    template <typename T>
    static int Send(T& channel, std::vector<byte> message) {
        return channel.SendCommand(message.data(), static_cast<int32_t>(message.size()));
    }
    template <typename T>
    static std::vector<byte> Read(T& channel, int length) {
        std::vector<byte> response(static_cast<size_t>(length));
        EXPECT_EQ(channel.ReadResponse(response.data(), length), length);
        return response;
    }
};

class Transmitter : public Transport {
protected:
    VeltrixNS::Runtimes::Perl::Native::Transmitter::PerlNativeTransmitter tx{RuntimeOperationMode::CallingRuntime};
};

TEST_F(Transmitter, RefusesMessagesShorterThanTheHeaderBeforeReadingThem) {
    std::vector<byte> ten(10, 0);
    for (auto [bytes, length] : {std::pair{ten.data(), 10}, {nullptr, 11}, {ten.data(), -1}}) {
        EXPECT_EQ(errorOf([&] { tx.SendCommand(bytes, length); }), "Message byte array length is less than 11");
        EXPECT_EQ(errorOf([&] { tx.DeployRuntime(bytes, length, "/d", 0); }),
                  "Message byte array length is less than 11");
    }
    byte buffer[4];
    EXPECT_EQ(errorOf([&] { tx.ReadResponse(buffer, 4); }),
              Code("013", "No channel selected: send a command before reading its response"));
    EXPECT_EQ(Calls, "");
}

TEST_F(Transmitter, InMemoryCommandPreparesBothRuntimesFromTheHeaderAndReachesTheCalledReceiverUnchanged) {
    auto command = ToRuntime(0, {}, 2);
    command[5] = 0xAB;  // address bytes are not read for channel type 0
    EXPECT_EQ(Send(tx, command), 11);
    EXPECT_EQ(Read(tx, 11), Answer(command));
    // Header bytes 9, 0 and 1 reach Initialize in that order.
    EXPECT_EQ(Calls,
              "Clr: CreateReceiver(1)\nClr: Initialize(4,0,2)\nClr: CreateTransmitter(1)\n"
              "Perl: CreateReceiver(0)\nPerl: Initialize(4,0,2)\nPerl: CreateTransmitter(0)\n"
              "Clr: SendCommand(" +
                  Hex(command) + ")\nClr: ReadResponse(11)\n");
    EXPECT_THROW(Send(tx, ToRuntime(0, {0xEE})), FakeFailure);  // the other side's failure passes untouched
}

// One network transport per address and little-endian port, made and initialised once, whatever the channel
// type of later commands; an in-memory command switches back and the network transports stay.
TEST_F(Transmitter, NetworkTransportsAreCachedByAddressAndPort) {
    auto first = Tcp(0x1F90, {1, 2, 3});
    ASSERT_EQ(first[7], 0x90);
    EXPECT_EQ(Send(tx, first), 14);
    EXPECT_EQ(Send(tx, Tcp(8080, {4}, 2)), 12);
    EXPECT_EQ(Send(tx, Tcp(8081, {5}, 2)), 12);
    EXPECT_EQ(Send(tx, Tcp(1, {}, 1, {192, 0, 7, 255})), 11);
    EXPECT_EQ(Send(tx, ToRuntime(0)), 11);
    EXPECT_EQ(Send(tx, Tcp(8081, {6})), 12);
    EXPECT_EQ(Read(tx, 12)[11], 6);
    EXPECT_EQ(Calls.find("Clr: SendCommand(11:"), Calls.find("Clr: SendCommand"));
    Calls.erase(Calls.find("Clr: CreateReceiver"), Calls.find("Clr: SendCommand") - Calls.find("Clr: CreateReceiver"));
    EXPECT_EQ(Calls,
              "tcp: CreateTransportChannel(10.0.0.1,8080)\ntcp#1: Initialize(4,0,0)\ntcp#1: SendCommand(" + Hex(first) +
                  ")\ntcp#1: SendCommand(" + Hex(Tcp(8080, {4}, 2)) +
                  ")\ntls: CreateTransportChannel(10.0.0.1,8081)\ntls#2: Initialize(4,0,0)\ntls#2: SendCommand(" +
                  Hex(Tcp(8081, {5}, 2)) +
                  ")\ntcp: CreateTransportChannel(192.0.7.255,1)\ntcp#3: "
                  "Initialize(4,0,0)\ntcp#3: SendCommand(" +
                  Hex(Tcp(1, {}, 1, {192, 0, 7, 255})) + ")\nClr: SendCommand(" + Hex(ToRuntime(0)) +
                  ")\ntls#2: SendCommand(" + Hex(Tcp(8081, {6})) + ")\ntls#2: ReadResponse(12)\n");
    EXPECT_THROW(Send(tx, Tcp(8080, {0xEE})), FakeFailure);
}

TEST_F(Transmitter, UnknownChannelTypeIsCode023AndKeepsThePreviousChannelForReading) {
    EXPECT_EQ(Send(tx, Tcp(8080, {0x41, 0x42})), 13);
    for (byte type : {byte{3}, byte{0xFF}}) {
        auto message = Tcp(9000, {}, type);
        EXPECT_EQ(errorOf([&] { Send(tx, message); }), "Veltrix Core Exception: Exception code 023.");
        EXPECT_EQ(errorOf([&] { tx.DeployRuntime(message.data(), 11, "/p", 1); }),
                  "Veltrix Core Exception: Exception code 023.");
    }
    EXPECT_EQ(Read(tx, 13)[12], 0x42);
    EXPECT_EQ(Calls.find("9000"), std::string::npos);
}

TEST_F(Transmitter, EmbeddedRuntimeAndDeployRuntimeReachTheirChannels) {
    Send(tx, Tcp(8080));
    // Always the in-memory transport, prepared for the runtimes given; later reads come from it.
    EXPECT_EQ(tx.SetEmbeddedRuntime(4, 0, 2, "/opt/runtime"), 42);
    EXPECT_NE(Calls.find("Clr: Initialize(4,0,2)\n"), std::string::npos) << Calls;
    EXPECT_NE(Calls.find("Clr: SetEmbeddedRuntime(2,/opt/runtime)\n"), std::string::npos) << Calls;
    // The header's channel: the network transport does nothing, the in-memory one asks the called library.
    auto network = Tcp(8080, {1});
    EXPECT_EQ(tx.DeployRuntime(network.data(), 12, "/deploy", 1), 0);
    auto inMemory = ToRuntime(0, {2});
    EXPECT_EQ(tx.DeployRuntime(inMemory.data(), 12, "/deploy", 3), 73);
    EXPECT_NE(Calls.find("Clr: DeployRuntime(" + Hex(inMemory) + ",/deploy,3)\n"), std::string::npos) << Calls;
}

TEST_F(Transmitter, AFailedChannelInitializeLeavesTheNewChannelSelected) {
    Send(tx, ToRuntime(0));
    Fakes().Add(TcpClientPath(), {{"CreateTransportChannel", nullptr}});
    EXPECT_EQ(errorOf([&] { Send(tx, Tcp(8080)); }), Code("011", reinstall));
    byte buffer[11];
    EXPECT_EQ(errorOf([&] { tx.ReadResponse(buffer, 11); }), Code("013", reinstall));
}

TEST_F(Transmitter, AHandedChannelIsOwnedUntilTheNextCommandReplacesIt) {
    tx.SetTransportChannel(new FakeChannel("handed"));
    byte buffer[1];
    EXPECT_EQ(tx.ReadResponse(buffer, 1), 0);
    Send(tx, ToRuntime(0));
    EXPECT_EQ(Calls.rfind("handed: ReadResponse(1)\nhanded: Destroyed\n", 0), 0U) << Calls;
}

class InMemory : public Transport {
protected:
    std::unique_ptr<TransportInMemory> transport = std::make_unique<TransportInMemory>();
    // The receiver SetEmbeddedRuntime reaches shows the called runtime the transport holds.
    std::string HeldRuntime() {
        Calls.clear();
        std::string failure = errorOf([&] { transport->SetEmbeddedRuntime(0, 0, 7, "/p"); });
        return failure == "(no exception)" ? Calls : failure;
    }
};

TEST_F(InMemory, InitializeLoadsBothLibrariesAndPreparesBothRuntimesOnce) {
    EXPECT_EQ(HeldRuntime(),
              Code("010", "No receiver for runtime 100 (Unknown): the channel was not initialized for it"));
    EXPECT_EQ(transport->Initialize(4, 0, 3), 0);  // the receivers' own result (5) is not passed on
    EXPECT_EQ(transport->Initialize(4, 0, 3), 0);
    EXPECT_EQ(Calls,
              "Clr: CreateReceiver(1)\nClr: Initialize(4,0,3)\nClr: CreateTransmitter(1)\n"
              "Perl: CreateReceiver(0)\nPerl: Initialize(4,0,3)\nPerl: CreateTransmitter(0)\n");
    EXPECT_EQ(Fakes().References(Finder::getRuntimeLibraryPath(0)), 1);
    EXPECT_EQ(Fakes().References(Finder::getRuntimeLibraryPath(4)), 1);
    EXPECT_EQ(HeldRuntime(), "Clr: SetEmbeddedRuntime(7,/p)\n");
}

TEST_F(InMemory, AMissingCallingLibraryIsToleratedAndRetried) {
    Fakes().Remove(Finder::getRuntimeLibraryPath(4));
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(Calls, "Clr: CreateReceiver(1)\nClr: Initialize(4,0,1)\nClr: CreateTransmitter(1)\n");
    EXPECT_EQ(Send(*transport, ToRuntime(0, {0x61})), 12);
    EXPECT_EQ(Read(*transport, 12)[11], 0x61);
    AddRuntime<4>(Fakes());
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_NE(Calls.find("Perl: CreateReceiver(0)\nPerl: Initialize(4,0,1)\nPerl: CreateTransmitter(0)\n"),
              std::string::npos);
}

TEST_F(InMemory, AMissingCalledLibraryIsCode001AndTheTransportHoldsTheNewRuntimes) {
    for (byte called : {byte{1}, byte{200}}) {
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, called, 2); }),
                  CannotLoad(Finder::getRuntimeLibraryPath(called)));
        EXPECT_EQ(HeldRuntime(),
                  Code("010", "No receiver for runtime " + Numbers(called) + " (" + (called == 1 ? "Go" : "Unknown") +
                                  "): the channel was not initialized for it"));
    }
    EXPECT_EQ(Finder::getRuntimeLibraryPath(200), Finder::pathToDir + "Unknown");
    EXPECT_EQ(Calls, "");
}

TEST_F(InMemory, CalledSideFailuresLeaveInitializeBeforeTheCallingSide) {
    const std::pair<std::function<void()>, std::string> failures[] = {
        {[] { AddRuntime<0>(Fakes(), false); }, Code("014", reinstall)},
        {[] { Runtimes[0].nullReceiver = true; }, Code("015", reinstall)},
        {[] { AddRuntime<0>(Fakes(), true, false); }, Code("016", "Reinstall Veltrix")},
    };
    for (const auto& [arrange, message] : failures) {
        SetUp();
        arrange();
        transport = std::make_unique<TransportInMemory>();
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), message);
        EXPECT_EQ(Calls.find("Perl:"), std::string::npos) << Calls;
    }
    // The receiver stored before the 016 failure serves commands.
    EXPECT_EQ(Send(*transport, ToRuntime(0)), 11);
}

// 017 (no CreateReceiver), 018 (null receiver), 016 (no CreateTransmitter) on the calling side are discarded.
TEST_F(InMemory, CallingSideFailuresAreDiscardedAndCommandsStillWork) {
    const std::function<void()> failures[] = {[] { AddRuntime<4>(Fakes(), false); },
                                              [] { Runtimes[4].nullReceiver = true; },
                                              [] { AddRuntime<4>(Fakes(), true, false); }};
    for (const auto& arrange : failures) {
        SetUp();
        arrange();
        transport = std::make_unique<TransportInMemory>();
        EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
        EXPECT_EQ(Send(*transport, ToRuntime(0)), 11);
    }
}

TEST_F(InMemory, ANullTransmitterIsNotStoredAndDeployRuntimeIsRefused) {
    Runtimes[0].nullTransmitter = true;
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    auto message = ToRuntime(0);
    EXPECT_EQ(errorOf([&] { transport->DeployRuntime(message.data(), 11, "/d", 0); }),
              Code("016", "No transmitter for runtime 0 (Clr)"));
}

TEST_F(InMemory, ByteZeroChoosesTheReceiverAndAMissingOneIsCode010) {
    byte buffer[11];
    EXPECT_EQ(errorOf([&] { transport->ReadResponse(buffer, 11); }),
              Code("010", "No receiver has taken a command: send a command before reading its response"));
    transport->Initialize(4, 0, 0);
    transport->Initialize(4, 5, 0);
    Calls.clear();
    auto message = ToRuntime(0, {0x10, 0x20});
    EXPECT_EQ(Send(*transport, message), 13);
    EXPECT_EQ(Read(*transport, 13), Answer(message));
    EXPECT_EQ(Calls, "Clr: SendCommand(" + Hex(message) + ")\nClr: ReadResponse(13)\n");
    EXPECT_EQ(errorOf([&] { Send(*transport, ToRuntime(6)); }),
              Code("010", "No receiver for runtime 6 (Ruby): the channel was not initialized for it"));
    EXPECT_EQ(errorOf([&] { transport->SendCommand(nullptr, 0); }),
              Code("010", "Empty message: no called runtime named"));
}

TEST_F(InMemory, AnEarlyReturnStillNamesTheRuntimeOfTheCurrentRequest) {
    transport->Initialize(4, 0, 1);
    transport->Initialize(4, 5, 2);
    transport->Initialize(4, 0, 3);  // both libraries loaded: returns at once
    Calls.clear();
    EXPECT_EQ(transport->SetEmbeddedRuntime(9, 9, 3, "/embedded"), 43);
    auto message = ToRuntime(0);
    EXPECT_EQ(transport->DeployRuntime(message.data(), 11, "/deploy", 2), 72);
    EXPECT_EQ(Calls, "Clr: SetEmbeddedRuntime(3,/embedded)\nClr: DeployRuntime(" + Hex(message) + ",/deploy,2)\n");
}

TEST_F(InMemory, HeartBeatsFollowTheHeaderLayout) {
    transport->Initialize(4, 0, 2);
    Calls.clear();
    ::testing::internal::CaptureStdout();
    VeltrixNS::Native::Transport::TransportInMemoryProbe::HeartBeats(transport.get());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "SendHeartBeatToCalledRuntime\nSendHeartBeatToCallingRuntime\n");
    EXPECT_EQ(Calls,
              "Clr: SendCommand(13:00 02 00 00 00 00 00 00 00 04 0b 31 32)\n"
              "Perl: SendCommand(13:04 00 00 00 00 00 00 00 00 00 0b 31 32)\n");
}

TEST_F(InMemory, DestructionGivesTheLibrariesBackAndLeavesTheirObjectsAlone) {
    transport->Initialize(4, 0, 0);
    Send(*transport, ToRuntime(0));
    transport.reset();
    EXPECT_EQ(Fakes().References(Finder::getRuntimeLibraryPath(0)), 0);
    EXPECT_EQ(Fakes().References(Finder::getRuntimeLibraryPath(4)), 0);
    transport = std::make_unique<TransportInMemory>();
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    EXPECT_EQ(Send(*transport, ToRuntime(0)), 11);
}

class Network : public Transport {
protected:
    std::unique_ptr<TransportNetwork> transport = std::make_unique<TransportNetwork>("10.0.0.1", 8080);
};

TEST_F(Network, EachKindAsksItsOwnClientLibraryForOneChannelAndCommandsPassThrough) {
    for (bool tls : {false, true}) {
        transport = std::make_unique<TransportNetwork>("192.168.1.20", 65535, tls);
        Calls.clear();
        EXPECT_EQ(transport->Initialize(4, 0, 2), 0);
        EXPECT_EQ(transport->Initialize(5, 1, 7), 0);
        auto message = Tcp(65535, {0xC0, 0xFF});
        EXPECT_EQ(Send(*transport, message), 13);
        EXPECT_EQ(Read(*transport, 13), Answer(message));
        std::string kind = tls ? "tls" : "tcp";
        std::string channel = kind + "#" + (tls ? "2" : "1");
        EXPECT_EQ(Calls, kind + ": CreateTransportChannel(192.168.1.20,65535)\n" + channel + ": Initialize(4,0,2)\n" +
                             channel + ": SendCommand(" + Hex(message) + ")\n" + channel + ": ReadResponse(13)\n");
    }
}

TEST_F(Network, MissingExportIsCode011AndANullChannelCode012OnEveryInitializeUntilOneIsMade) {
    byte buffer[11] = {};
    EXPECT_EQ(errorOf([&] { transport->SendCommand(buffer, 11); }), Code("013", reinstall));
    EXPECT_EQ(errorOf([&] { transport->ReadResponse(buffer, 11); }), Code("013", reinstall));
    Fakes().Add(TcpClientPath(), {{"CreateTransportChannel", nullptr}});
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("011", reinstall));
    }
    AddClientLibraries(Fakes());
    NullChannelsToGo = 2;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("012", reinstall));
    }
    EXPECT_EQ(errorOf([&] { transport->SendCommand(buffer, 11); }), Code("013", reinstall));
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    EXPECT_EQ(Calls.rfind("tcp#1: Initialize(4,0,0)\n"), Calls.size() - 25) << Calls;
}

TEST_F(Network, EmbeddedRuntimeAndDeployAreNoOpsThatTouchNothing) {
    byte message[11] = {};
    for (int initialized = 0; initialized < 2; ++initialized) {
        if (initialized) transport->Initialize(4, 0, 2);
        Calls.clear();
        EXPECT_EQ(transport->SetEmbeddedRuntime(4, 0, 2, "/p"), 0);
        EXPECT_EQ(transport->DeployRuntime(message, 11, "/p", 1), 0);
        EXPECT_EQ(Calls, "");
    }
}

TEST_F(Network, TransportsShareOneClientLibraryAndDeleteTheirOwnChannels) {
    auto second = std::make_unique<TransportNetwork>("10.0.0.2", 8080);
    transport->Initialize(4, 0, 0);
    second->Initialize(4, 0, 0);
    Calls.clear();
    transport.reset();
    EXPECT_EQ(Calls, "tcp#1: Destroyed\n");
    second.reset();
    EXPECT_EQ(Fakes().References(TcpClientPath()), 1);  // kept for the process
}

class NetworkInOwnProcess : public Network {};

// The client library is loaded once per process: its absence shows only before any load.
TEST_F(NetworkInOwnProcess, MissingClientLibraryIsCode001NamingIt) {
    Fakes().Remove(TcpClientPath());
    EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), CannotLoad(TcpClientPath()));
}

}  // namespace
