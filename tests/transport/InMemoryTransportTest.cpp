// The in-memory transport: loading both runtimes' libraries, the receivers it drives, and its failure codes.
#include "TransportFixture.h"

using namespace transport_test;

namespace {

class InMemory : public TransportFixture {
protected:
    std::unique_ptr<ITransport> NewTransport() { return std::unique_ptr<ITransport>(Harness().NewInMemoryTransport()); }
    transport_harness::InMemoryState State(ITransport* transport) { return Harness().InMemoryStateOf(transport); }

    static int Send(ITransport& transport, std::vector<byte> message) {
        return transport.SendCommand(message.data(), static_cast<int32_t>(message.size()));
    }
};

const std::string reinstall = "Reinstall Veltrix package";

}  // namespace

TEST_F(InMemory, FreshTransportHoldsNoRuntime) {
    auto transport = NewTransport();
    auto state = State(transport.get());
    EXPECT_EQ(state.callingRuntimeNumber, 100);
    EXPECT_EQ(state.calledRuntimeNumber, 100);
    EXPECT_EQ(state.calledRuntimeVersion, 100);
    for (int runtime = 0; runtime < 11; ++runtime) {
        EXPECT_FALSE(state.libraryLoaded[runtime] || state.receiverStored[runtime] || state.transmitterStored[runtime]);
    }
}

TEST_F(InMemory, InitializeLoadsBothLibrariesAndPreparesBothReceiversOnce) {
    AddRuntime(clr);
    AddRuntime(perl);
    auto transport = NewTransport();
    EXPECT_EQ(transport->Initialize(4, 0, 3), 0);  // the receivers answer 5: not passed on
    EXPECT_EQ(Log(clr), "CreateReceiver(1)\nInitialize(4,0,3)\nCreateTransmitter(1)\n");
    EXPECT_EQ(Log(perl), "CreateReceiver(0)\nInitialize(4,0,3)\nCreateTransmitter(0)\n");
    auto state = State(transport.get());
    EXPECT_TRUE(state.libraryLoaded[0] && state.libraryLoaded[4]);
    EXPECT_TRUE(state.receiverStored[0] && state.receiverStored[4]);
    EXPECT_TRUE(state.transmitterStored[0] && state.transmitterStored[4]);

    EXPECT_EQ(transport->Initialize(4, 0, 3), 0);
    EXPECT_EQ(Log(clr), "CreateReceiver(1)\nInitialize(4,0,3)\nCreateTransmitter(1)\n");
    EXPECT_EQ(Log(perl), "CreateReceiver(0)\nInitialize(4,0,3)\nCreateTransmitter(0)\n");
}

TEST_F(InMemory, MissingCallingLibraryIsToleratedAndRetried) {
    AddRuntime(clr);
    auto transport = NewTransport();
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_FALSE(State(transport.get()).libraryLoaded[4]);
    EXPECT_EQ(Log(clr), "CreateReceiver(1)\nInitialize(4,0,1)\nCreateTransmitter(1)\n");

    EXPECT_EQ(Send(*transport, Command(Header{}, {0x61})), 12);
    std::vector<byte> response(12);
    EXPECT_EQ(transport->ReadResponse(response.data(), 12), 12);
    EXPECT_EQ(response[11], 0x61);

    // Once the library is there, the next Initialize picks it up.
    AddRuntime(perl);
    EXPECT_EQ(transport->Initialize(4, 0, 1), 0);
    EXPECT_TRUE(State(transport.get()).receiverStored[4]);
    EXPECT_EQ(Log(perl), "CreateReceiver(0)\nInitialize(4,0,1)\nCreateTransmitter(0)\n");
}

TEST_F(InMemory, MissingCalledLibraryIsCode001WithPathAndLoaderReason) {
    auto transport = NewTransport();
    std::string failure = FailureOf([&] { transport->Initialize(4, 0, 2); });
    std::string start =
        "Veltrix Core Exception: Exception code 001. \nCannot load: " + Dir() + clr + ". \nError: 126 - ";
    EXPECT_EQ(failure.rfind(start, 0), 0U) << failure;
    EXPECT_NE(failure.find("No such file"), std::string::npos) << failure;
    auto state = State(transport.get());
    EXPECT_EQ(state.calledRuntimeNumber, 0);
    EXPECT_EQ(state.callingRuntimeNumber, 4);
    EXPECT_EQ(state.calledRuntimeVersion, 2);
    EXPECT_FALSE(state.libraryLoaded[0] || state.libraryLoaded[4]);
}

TEST_F(InMemory, RuntimeNumberOutsideTheTableIsALoadFailure) {
    auto transport = NewTransport();
    std::string failure = FailureOf([&] { transport->Initialize(4, 200, 0); });
    EXPECT_EQ(failure.rfind("Veltrix Core Exception: Exception code 001. \nCannot load: " + Dir() + "Unknown. ", 0), 0U)
        << failure;
}

struct CalledSideCase {
    const char* name;
    const char* library;
    std::string message;
};

void PrintTo(const CalledSideCase& c, std::ostream* out) {
    *out << c.name;
}

class CalledSideFailure : public InMemory, public ::testing::WithParamInterface<CalledSideCase> {};

TEST_P(CalledSideFailure, LeavesInitializeWithItsCode) {
    AddRuntime(clr, GetParam().library);
    AddRuntime(perl);
    auto transport = NewTransport();
    EXPECT_EQ(FailureOf([&] { transport->Initialize(4, 0, 0); }), GetParam().message);
    // The calling side is not reached after a called-side failure.
    EXPECT_FALSE(Loaded(perl));
    EXPECT_FALSE(State(transport.get()).transmitterStored[0]);
}

INSTANTIATE_TEST_SUITE_P(Codes, CalledSideFailure,
                         ::testing::Values(CalledSideCase{"NoCreateReceiver", STANDIN_RUNTIME_NO_RECEIVER,
                                                          "Veltrix Core Exception: Exception code 014. \n" + reinstall},
                                           CalledSideCase{"NullReceiver", STANDIN_RUNTIME_NULL_RECEIVER,
                                                          "Veltrix Core Exception: Exception code 015. \n" + reinstall},
                                           CalledSideCase{
                                               "NoCreateTransmitter", STANDIN_RUNTIME_NO_TRANSMITTER,
                                               "Veltrix Core Exception: Exception code 016. \nReinstall Veltrix"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InMemory, ReceiverStoredBeforeACalledSideFailureStaysStored) {
    AddRuntime(clr, STANDIN_RUNTIME_NO_TRANSMITTER);
    auto transport = NewTransport();
    EXPECT_NE(FailureOf([&] { transport->Initialize(4, 0, 0); }), "<no exception>");
    auto state = State(transport.get());
    EXPECT_TRUE(state.libraryLoaded[0] && state.receiverStored[0]);
    EXPECT_FALSE(state.transmitterStored[0]);
    EXPECT_EQ(Send(*transport, Command(Header{})), 11);
}

struct CallingSideCase {
    const char* name;
    const char* library;
};

void PrintTo(const CallingSideCase& c, std::ostream* out) {
    *out << c.name;
}

class CallingSideFailure : public InMemory, public ::testing::WithParamInterface<CallingSideCase> {};

TEST_P(CallingSideFailure, IsDiscardedAndCommandsStillWork) {
    AddRuntime(clr);
    AddRuntime(perl, GetParam().library);
    auto transport = NewTransport();
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    EXPECT_TRUE(Loaded(perl));
    EXPECT_EQ(Send(*transport, Command(Header{})), 11);
    EXPECT_NE(Log(clr).find("SendCommand(11:"), std::string::npos);
}

// 017 (no CreateReceiver), 018 (null receiver) and 016 (no CreateTransmitter) on the calling side.
INSTANTIATE_TEST_SUITE_P(Codes, CallingSideFailure,
                         ::testing::Values(CallingSideCase{"NoCreateReceiver017", STANDIN_RUNTIME_NO_RECEIVER},
                                           CallingSideCase{"NullReceiver018", STANDIN_RUNTIME_NULL_RECEIVER},
                                           CallingSideCase{"NoCreateTransmitter016", STANDIN_RUNTIME_NO_TRANSMITTER}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InMemory, NullTransmitterIsStoredAsNothingAndDeployRuntimeIsRefused) {
    AddRuntime(clr, STANDIN_RUNTIME_NULL_TRANSMITTER);
    AddRuntime(perl);
    auto transport = NewTransport();
    EXPECT_EQ(transport->Initialize(4, 0, 0), 0);
    EXPECT_FALSE(State(transport.get()).transmitterStored[0]);
    auto message = Command(Header{});
    EXPECT_EQ(FailureOf([&] { transport->DeployRuntime(message.data(), 11, "/d", 0); }),
              "Veltrix Core Exception: Exception code 016. \nNo transmitter for runtime 0 (Clr)");
}

TEST_F(InMemory, ByteZeroChoosesTheReceiverWhateverRuntimeWasInitializedLast) {
    AddRuntime(clr);
    AddRuntime(perl);
    AddRuntime(python);
    auto transport = NewTransport();
    transport->Initialize(4, 0, 0);
    transport->Initialize(4, 5, 0);
    EXPECT_EQ(State(transport.get()).calledRuntimeNumber, 5);
    ClearLog(clr);
    ClearLog(python);

    auto message = Command(Header{}, {0x10, 0x20});
    EXPECT_EQ(Send(*transport, message), 13);
    std::vector<byte> response(13);
    EXPECT_EQ(transport->ReadResponse(response.data(), 13), 13);
    EXPECT_EQ(Log(clr), "SendCommand(" + Hex(message) + ")\nReadResponse(13)\n");
    EXPECT_EQ(Log(python), "");
    message[10] = 0;
    EXPECT_EQ(response, message);
}

TEST_F(InMemory, NoReceiverForTheNamedRuntimeIsCode010) {
    AddRuntime(clr);
    AddRuntime(perl);
    auto transport = NewTransport();
    byte buffer[11];
    EXPECT_EQ(FailureOf([&] { transport->ReadResponse(buffer, 11); }),
              "Veltrix Core Exception: Exception code 010. \nNo receiver has taken a command: send a command before "
              "reading its response");
    transport->Initialize(4, 0, 0);
    Header toPython;
    toPython.called = 5;
    EXPECT_EQ(FailureOf([&] { Send(*transport, Command(toPython)); }),
              "Veltrix Core Exception: Exception code 010. \nNo receiver for runtime 5 (Python): the channel was not "
              "initialized for it");
    toPython.called = 250;
    EXPECT_EQ(FailureOf([&] { Send(*transport, Command(toPython)); }),
              "Veltrix Core Exception: Exception code 010. \nNo receiver for runtime 250 (Unknown): the channel was "
              "not initialized for it");
    EXPECT_FALSE(State(transport.get()).currentReceiverSet);
}

TEST_F(InMemory, EarlyReturnStillNamesTheRuntimeOfTheCurrentRequest) {
    AddRuntime(clr);
    AddRuntime(perl);
    AddRuntime(python);
    auto transport = NewTransport();
    transport->Initialize(4, 0, 1);
    transport->Initialize(4, 5, 2);
    transport->Initialize(4, 0, 3);  // both libraries loaded: returns at once
    auto state = State(transport.get());
    EXPECT_EQ(state.calledRuntimeNumber, 0);
    EXPECT_EQ(state.calledRuntimeVersion, 3);
    EXPECT_EQ(transport->SetEmbeddedRuntime(9, 9, 3, "/embedded"), 43);
    EXPECT_NE(Log(clr).find("SetEmbeddedRuntime(3,/embedded)\n"), std::string::npos) << Log(clr);
    EXPECT_EQ(Log(python).find("SetEmbeddedRuntime"), std::string::npos);
    auto message = Command(Header{});
    EXPECT_EQ(transport->DeployRuntime(message.data(), 11, "/deploy", 2), 72);
    EXPECT_NE(Log(clr).find("DeployRuntime(" + Hex(message) + ",/deploy,2)\n"), std::string::npos) << Log(clr);
}

TEST_F(InMemory, HeartBeatsFollowTheHeaderLayout) {
    AddRuntime(clr);
    AddRuntime(perl);
    auto transport = NewTransport();
    transport->Initialize(4, 0, 2);
    ClearLog(clr);
    ClearLog(perl);

    ::testing::internal::CaptureStdout();
    Harness().SendHeartBeatToCalledRuntime(transport.get());
    Harness().SendHeartBeatToCallingRuntime(transport.get());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "SendHeartBeatToCalledRuntime\nSendHeartBeatToCallingRuntime\n");
    EXPECT_EQ(Log(clr), "SendCommand(13:00 02 00 00 00 00 00 00 00 04 0b 31 32)\n");
    EXPECT_EQ(Log(perl), "SendCommand(13:04 00 00 00 00 00 00 00 00 00 0b 31 32)\n");
}

TEST_F(InMemory, DestructionReleasesTheOtherLibrariesAndLeavesTheirObjectsAlone) {
    AddRuntime(clr);
    AddRuntime(perl);
    auto transport = NewTransport();
    transport->Initialize(4, 0, 0);
    Send(*transport, Command(Header{}));
    ASSERT_NE(Log(clr).find("SendCommand"), std::string::npos);
    transport.reset();
    EXPECT_FALSE(Loaded(clr));
    EXPECT_FALSE(Loaded(perl));

    // The libraries come back with fresh singletons for a new transport.
    auto again = NewTransport();
    EXPECT_EQ(again->Initialize(4, 0, 0), 0);
    EXPECT_EQ(Send(*again, Command(Header{})), 11);
}
