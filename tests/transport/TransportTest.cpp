// The transmitter and both transports. The Standin suite loads the real stand-in library beside the program;
// elsewhere other runtimes' libraries and the TCP and TLS client libraries are fakes behind the loader seam,
// registered under the paths the core derives from its own directory. Every call a fake gets is one line of
// Calls, prefixed with who got it ("Clr: Initialize(4,0,3)", "tcp#1: ReadResponse(11)").
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <tuple>

#include "Definitions/runtimeOperationMode.h"
#include "ErrorText.h"
#include "FakeLibraries.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Messages.h"
#include "PerlNativeTransmitter.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"
#include "Standins.h"
#include "Transport/TransportInMemory.h"
#include "Transport/TransportNetwork.h"

namespace VeltrixNS::Native::Transport {
struct TransportInMemoryProbe {
    static void HeartBeats(TransportInMemory& transport) {
        transport.SendHeartBeatToCalledRuntime();
        transport.SendHeartBeatToCallingRuntime();
    }
};
}  // namespace VeltrixNS::Native::Transport

namespace {

using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::Interfaces::ITransport;
using Finder = VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
using veltrix::test::AsExport;
using veltrix::test::CommandHeader;
using veltrix::test::errorOf;
using VeltrixNS::Native::Transport::TransportInMemory;
using VeltrixNS::Native::Transport::TransportNetwork;

std::string Calls;
int ChannelsMade = 0;
int NullChannelsToGo = 0;

template <typename... Args>
void Record(const std::string& who, const std::string& call, Args... numbers) {
    std::string text;
    ((text += (text.empty() ? "" : ",") + std::to_string(static_cast<int>(numbers))), ...);
    Calls += who + ": " + call + "(" + text + ")\n";
}

// Another library's object: a runtime's receiver and transmitter, or a client library's channel. It keeps each
// command and answers with it, its command type set to 0 (Value).
struct Fake : IReceiver, ITransmitter, ITransport {
    int Initialize(byte a, byte b, byte c) override {
        Record(name, "Initialize", a, b, c);
        return 5;  // a result callers must not rely on
    }
    int SendCommand(byte* message, int32_t length) override {
        Record(name, "SendCommand", length);
        last.assign(message, message + length);
        return length;
    }
    int ReadResponse(byte* buffer, int32_t length) override {
        Record(name, "ReadResponse", length);
        auto count = std::min<size_t>(last.size(), static_cast<size_t>(std::max(length, 0)));
        std::copy_n(last.begin(), count, buffer);
        if (count > 10) buffer[10] = 0;
        return static_cast<int>(count);
    }
    int SetEmbeddedRuntime(byte version, std::string path) override {
        Record(name, "SetEmbeddedRuntime:" + path, version);
        return 0;
    }
    int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }
    void SetConfigSource(std::string) override {}
    void LogException(byte*, int32_t) override {}
    int LoadOptimizedMethod(std::string) override { return 0; }
    void SetTransportChannel(ITransport*) override {}
    std::string name;
    std::vector<byte> last;  // the latest command
};

// A runtime's library, for the cases the stand-in cannot play: a null receiver or transmitter, a missing
// export. Its receiver and transmitter are one singleton, as a real library keeps them.
struct FakeRuntime final : Fake {
    bool nullReceiver = false;
    bool nullTransmitter = false;
};
std::array<FakeRuntime, 11> Runtimes;

template <int N>
IReceiver* CreateReceiver(RuntimeOperationMode mode) {
    Record(Runtimes[N].name, "CreateReceiver", mode);
    return Runtimes[N].nullReceiver ? nullptr : &Runtimes[N];
}
template <int N>
ITransmitter* CreateTransmitter(RuntimeOperationMode mode) {
    Record(Runtimes[N].name, "CreateTransmitter", mode);
    return Runtimes[N].nullTransmitter ? nullptr : &Runtimes[N];
}

// Runtime N's library beside the core, fresh; a false flag leaves that export out.
template <int N>
void AddRuntime(veltrix::test::FakeLibraries& fakes, bool withReceiver = true, bool withTransmitter = true) {
    Runtimes[N] = FakeRuntime();
    Runtimes[N].name = VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler::GetRuntimeName(N);
    fakes.Add(Finder::getRuntimeLibraryPath(N),
              {{"CreateReceiver", withReceiver ? AsExport(&CreateReceiver<N>) : nullptr},
               {"CreateTransmitter", withTransmitter ? AsExport(&CreateTransmitter<N>) : nullptr}});
}

// A channel made by a client library, named by kind and creation number ("tcp#1").
struct FakeChannel final : Fake {
    explicit FakeChannel(std::string kind) { name = kind + "#" + std::to_string(++ChannelsMade); }
    ~FakeChannel() override { Record(name, "Destroyed"); }
};

template <bool Tls>
ITransport* CreateTransportChannel(std::string address, unsigned short port) {
    Record(Tls ? "tls" : "tcp", "CreateTransportChannel:" + address, port);
    if (NullChannelsToGo > 0 && NullChannelsToGo-- > 0) return nullptr;
    return new FakeChannel(Tls ? "tls" : "tcp");
}

std::string TcpClientPath() {
    return Finder::pathToDir + "VeltrixTcpClient.dll";
}

// The client libraries, the OpenSSL pair they preload (under the second path: no such file lies beside the
// program) and a quiet Utils.dll for the records of raised exceptions.
void AddClientLibraries(veltrix::test::FakeLibraries& fakes) {
    for (const char* openSsl : {"libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
        fakes.Add(Finder::pathToDir + Finder::nativeDirectoryRelativePath + openSsl);
    }
    fakes.Add(TcpClientPath(), {{"CreateTransportChannel", AsExport(&CreateTransportChannel<false>)}});
    fakes.Add(Finder::pathToDir + "VeltrixTcpTlsClient.dll",
              {{"CreateTransportChannel", AsExport(&CreateTransportChannel<true>)}});
    using Text = std::string (*)();
    fakes.Add(Finder::pathToDir + "Utils.dll",
              {{"GetLoggingLevel", AsExport(static_cast<Text>([] { return std::string("off"); }))},
               {"GetWorkingDirectory", AsExport(static_cast<Text>([] { return std::string("/nonexistent"); }))}});
}

const std::string reinstall = "Reinstall Veltrix package";
std::string Code(const char* code, const std::string& detail) {
    return std::string("Veltrix Core Exception: Exception code ") + code + ". \n" + detail;
}
std::string CannotLoad(const std::string& path) {
    return Code("001", "Cannot load: " + path + ". \nError: 126 - " + path +
                           ": cannot open shared object file: No such file or directory");
}
std::string NoReceiver(int runtime, const char* name) {
    return Code("010", "No receiver for runtime " + std::to_string(runtime) + " (" + name +
                           "): the channel was not initialized for it");
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

// Sends the message and reads the whole response, which is the message with command type 0.
template <typename T>
void Exchange(T& channel, std::vector<byte> message) {
    int length = static_cast<int>(message.size());
    ASSERT_EQ(channel.SendCommand(message.data(), length), length);
    std::vector<byte> response(message.size());
    EXPECT_EQ(channel.ReadResponse(response.data(), length), length);
    message[10] = 0;
    EXPECT_EQ(response, message);
}

using PerlTransmitter = VeltrixNS::Runtimes::Perl::Native::Transmitter::PerlNativeTransmitter;

// The real stand-in library, copied beside the program as Clr's, Perl's and Python's; each copy keeps its own
// call log while it is loaded.
std::string Log(int runtime) {
    return veltrix::test::StandinCallLog(Finder::getRuntimeLibraryPath(runtime));
}

// A channel handed over is owned until the next command replaces it; that command prepares both runtimes from
// its header (bytes 9, 0 and 1 reach Initialize in that order) and reaches the called one unchanged.
TEST(Standin, TheTransmitterPreparesBothRuntimesFromTheHeaderAndPassesCommandsUnchanged) {
    PerlTransmitter tx{RuntimeOperationMode::CallingRuntime};
    tx.SetTransportChannel(new FakeChannel("handed"));
    byte buffer[1];
    EXPECT_EQ(tx.ReadResponse(buffer, 1), 0);
    auto command = ToRuntime(0, {}, 2);
    command[5] = 0xAB;  // address bytes are not read for channel type 0
    Exchange(tx, command);
    EXPECT_EQ(Calls, "handed#1: ReadResponse(1)\nhanded#1: Destroyed()\n");
    EXPECT_EQ(Log(0),
              "CreateReceiver(1)\nInitialize(4,0,2)\nCreateTransmitter(1)\n"
              "SendCommand(11:00 02 00 00 00 ab 00 00 00 04 09)\nReadResponse(11)\n");
    EXPECT_EQ(Log(4), "CreateReceiver(0)\nInitialize(4,0,2)\nCreateTransmitter(0)\n");
}

// Each library is loaded and prepared once; byte 0 picks the receiver whatever runtime was prepared last.
TEST(Standin, TheInMemoryTransportLoadsEachLibraryOnceAndGivesItBack) {
    auto transport = std::make_unique<TransportInMemory>();
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);  // the receivers' own result (5) is not passed on
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(transport->Initialize(4, 5, 2), 0);
    Exchange(*transport, ToRuntime(0, {0x10}));
    EXPECT_EQ(transport->SetEmbeddedRuntime(9, 9, 3, "/embedded"), 43);
    EXPECT_EQ(transport->DeployRuntime(ToRuntime(0).data(), 11, "/deploy", 2), 72);
    ::testing::internal::CaptureStdout();
    VeltrixNS::Native::Transport::TransportInMemoryProbe::HeartBeats(*transport);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "SendHeartBeatToCalledRuntime\nSendHeartBeatToCallingRuntime\n");
    EXPECT_EQ(Log(0),
              "CreateReceiver(1)\nInitialize(4,0,1)\nCreateTransmitter(1)\n"
              "SendCommand(12:00 00 00 00 00 00 00 00 00 04 09 10)\nReadResponse(12)\n");
    EXPECT_EQ(Log(5),
              "CreateReceiver(1)\nInitialize(4,5,2)\nCreateTransmitter(1)\n"
              "SendCommand(13:05 02 00 00 00 00 00 00 00 04 0b 31 32)\n");
    EXPECT_EQ(Log(4),
              "CreateReceiver(0)\nInitialize(4,0,1)\nCreateTransmitter(0)\n"
              "SendCommand(13:04 00 00 00 00 00 00 00 00 05 0b 31 32)\n");
    transport.reset();  // the libraries go; their objects are theirs and go with them
    EXPECT_EQ(Log(0) + Log(4) + Log(5), "<not loaded><not loaded><not loaded>");
    transport = std::make_unique<TransportInMemory>();
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    Exchange(*transport, ToRuntime(0));
}

// Each test starts with the fake libraries of Clr (0), Perl (4) and Python (5) and the client libraries.
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
};

class Transmitter : public Transport {
protected:
    int Send(std::vector<byte> message) { return tx.SendCommand(message.data(), static_cast<int32_t>(message.size())); }
    PerlTransmitter tx{RuntimeOperationMode::CallingRuntime};
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

// One network transport per address and little-endian port, made and initialised once, whatever the channel
// type of later commands; an in-memory command switches back and the network transports stay. Deployment over
// the network does nothing.
TEST_F(Transmitter, NetworkTransportsAreCachedByAddressAndPort) {
    auto first = Tcp(0x1F90, {1, 2, 3});
    ASSERT_EQ(first[7], 0x90);
    Send(first);
    Send(Tcp(8080, {4}, 2));
    Send(Tcp(8081, {5}, 2));
    Send(Tcp(1, {}, 1, {192, 0, 7, 255}));
    Send(ToRuntime(0));
    Exchange(tx, Tcp(8081, {6}));
    EXPECT_EQ(tx.DeployRuntime(first.data(), 14, "/deploy", 1), 0);
    EXPECT_EQ(Calls,
              "tcp: CreateTransportChannel:10.0.0.1(8080)\ntcp#1: Initialize(4,0,0)\ntcp#1: SendCommand(14)\n"
              "tcp#1: SendCommand(12)\ntls: CreateTransportChannel:10.0.0.1(8081)\ntls#2: Initialize(4,0,0)\n"
              "tls#2: SendCommand(12)\ntcp: CreateTransportChannel:192.0.7.255(1)\ntcp#3: Initialize(4,0,0)\n"
              "tcp#3: SendCommand(11)\nClr: CreateReceiver(1)\nClr: Initialize(4,0,0)\nClr: CreateTransmitter(1)\n"
              "Perl: CreateReceiver(0)\nPerl: Initialize(4,0,0)\nPerl: CreateTransmitter(0)\n"
              "Clr: SendCommand(11)\ntls#2: SendCommand(12)\ntls#2: ReadResponse(12)\n");
    // A channel whose Initialize fails is the one selected: the next read finds no channel in it.
    Fakes().Add(TcpClientPath(), {{"CreateTransportChannel", nullptr}});
    EXPECT_EQ(errorOf([&] { Send(Tcp(8082)); }), Code("011", reinstall));
    byte buffer[11];
    EXPECT_EQ(errorOf([&] { tx.ReadResponse(buffer, 11); }), Code("013", reinstall));
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

TEST_F(InMemory, AMissingCallingLibraryIsToleratedAndRetriedButAMissingCalledOneIsCode001) {
    Fakes().Remove(Finder::getRuntimeLibraryPath(4));
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(Calls, "Clr: CreateReceiver(1)\nClr: Initialize(4,0,1)\nClr: CreateTransmitter(1)\n");
    Exchange(*transport, ToRuntime(0, {0x61}));
    AddRuntime<4>(Fakes());
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_NE(Calls.find("Perl: CreateReceiver(0)\nPerl: Initialize(4,0,1)\n"), std::string::npos);
    // The runtime numbers are kept before the load fails.
    for (auto [called, name] : {std::pair<byte, const char*>{1, "Go"}, {200, "Unknown"}}) {
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, called, 2); }),
                  CannotLoad(Finder::getRuntimeLibraryPath(called)));
        EXPECT_EQ(HeldRuntime(), NoReceiver(called, name));
    }
    EXPECT_EQ(Finder::getRuntimeLibraryPath(200), Finder::pathToDir + "Unknown");
}

// Called-side failures leave Initialize before the calling side is reached; calling-side failures (017, 018,
// 016) are discarded. A receiver stored before a failure serves commands; a null transmitter is stored as nothing.
TEST_F(InMemory, FailuresOfTheOtherLibrariesCarryTheirCodes) {
    const std::tuple<std::function<void()>, std::string, bool> failures[] = {
        {[] { AddRuntime<0>(Fakes(), false); }, Code("014", reinstall), false},
        {[] { Runtimes[0].nullReceiver = true; }, Code("015", reinstall), false},
        {[] { AddRuntime<0>(Fakes(), true, false); }, Code("016", "Reinstall Veltrix"), true},
        {[] { AddRuntime<4>(Fakes(), false); }, "(no exception)", true},
        {[] { Runtimes[4].nullReceiver = true; }, "(no exception)", true},
        {[] { AddRuntime<4>(Fakes(), true, false); }, "(no exception)", true},
        {[] { Runtimes[0].nullTransmitter = true; }, "(no exception)", true}};
    for (const auto& [arrange, failure, serves] : failures) {
        SetUp();
        arrange();
        transport = std::make_unique<TransportInMemory>();
        EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), failure);
        EXPECT_EQ(Fakes().References(Finder::getRuntimeLibraryPath(4)), failure == "(no exception)" ? 1 : 0);
        if (serves) Exchange(*transport, ToRuntime(0));
    }
    auto message = ToRuntime(0);
    EXPECT_EQ(errorOf([&] { transport->DeployRuntime(message.data(), 11, "/d", 0); }),
              Code("016", "No transmitter for runtime 0 (Clr)"));
}

// The bytes the transport holds name the runtime of the latest request, even when it returns at once.
TEST_F(InMemory, WithoutAReceiverForTheRuntimeCommandsAreCode010) {
    EXPECT_EQ(HeldRuntime(), NoReceiver(100, "Unknown"));
    byte buffer[11];
    EXPECT_EQ(errorOf([&] { transport->ReadResponse(buffer, 11); }),
              Code("010", "No receiver has taken a command: send a command before reading its response"));
    EXPECT_EQ(errorOf([&] { transport->SendCommand(nullptr, 0); }),
              Code("010", "Empty message: no called runtime named"));
    transport->Initialize(4, 0, 1);
    transport->Initialize(4, 5, 2);
    EXPECT_EQ(errorOf([&] { transport->SendCommand(ToRuntime(6).data(), 11); }), NoReceiver(6, "Ruby"));
    transport->Initialize(4, 0, 3);  // both libraries loaded: returns at once
    EXPECT_EQ(HeldRuntime(), "Clr: SetEmbeddedRuntime:/p(7)\n");
}

class Network : public Transport {
protected:
    std::unique_ptr<TransportNetwork> transport = std::make_unique<TransportNetwork>("10.0.0.1", 8080);
};

// Each kind asks its own client library for one channel, initialised once, and deletes only that channel;
// embedded runtimes and deployment are no-ops that touch nothing.
TEST_F(Network, EachKindMakesOneChannelOfItsOwnAndCommandsPassThrough) {
    transport->Initialize(4, 0, 0);  // tcp#1 stays
    for (bool tls : {false, true}) {
        auto other = std::make_unique<TransportNetwork>("192.168.1.20", 65535, tls);
        byte message[11] = {};
        Calls.clear();
        EXPECT_EQ(other->Initialize(4, 0, 2), 0);
        EXPECT_EQ(other->Initialize(5, 1, 7), 0);
        EXPECT_EQ(other->SetEmbeddedRuntime(4, 0, 2, "/p") + other->DeployRuntime(message, 11, "/p", 1), 0);
        Exchange(*other, Tcp(65535, {0xC0, 0xFF}));
        other.reset();
        std::string kind = tls ? "tls" : "tcp", channel = kind + "#" + std::to_string(2 + tls);
        EXPECT_EQ(Calls, kind + ": CreateTransportChannel:192.168.1.20(65535)\n" + channel + ": Initialize(4,0,2)\n" +
                             channel + ": SendCommand(13)\n" + channel + ": ReadResponse(13)\n" + channel +
                             ": Destroyed()\n");
    }
    EXPECT_EQ(Fakes().References(TcpClientPath()), 1);  // kept for the process
}

TEST_F(Network, NoChannelIsCode011Code012OrCode013UntilOneIsMade) {
    byte buffer[11] = {};
    EXPECT_EQ(errorOf([&] { transport->SendCommand(buffer, 11); }), Code("013", reinstall));
    EXPECT_EQ(errorOf([&] { transport->ReadResponse(buffer, 11); }), Code("013", reinstall));
    Fakes().Add(TcpClientPath(), {{"CreateTransportChannel", nullptr}});
    EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("011", reinstall));
    EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("011", reinstall));
    AddClientLibraries(Fakes());
    NullChannelsToGo = 2;
    EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("012", reinstall));
    EXPECT_EQ(errorOf([&] { transport->Initialize(4, 0, 0); }), Code("012", reinstall));
    EXPECT_EQ(errorOf([&] { transport->SendCommand(buffer, 11); }), Code("013", reinstall));
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    std::string create = "tcp: CreateTransportChannel:10.0.0.1(8080)\n";
    EXPECT_EQ(Calls, create + create + create + "tcp#1: Initialize(4,0,0)\n");
}

}  // namespace
