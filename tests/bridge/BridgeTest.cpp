// The bridge's exported entry points, on a fresh copy of the bridge per test: one role, receiver and
// transmitter per process, the configuration entry points, the failure text, and the way to another runtime's
// library (the stand-in runtime, a real library).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <set>
#include <thread>

#include "BridgeHarness.h"
#include "ErrorText.h"
#include "Messages.h"
#include "Standins.h"

using namespace veltrix::test;

namespace {

const std::string nullText = "basic_string: construction from null is not valid";
const std::string shortCommand = "Message byte array length is less than 11";

std::vector<byte> ToRuntime(byte called, std::initializer_list<byte> body = {}) {
    std::vector<byte> message(11 + body.size());
    CommandHeader{.calledRuntime = called, .callingRuntime = 4, .commandType = 9}.Write(message.data());
    std::copy(body.begin(), body.end(), message.begin() + 11);
    return message;
}
int Send(BridgeHarness& bridge, std::vector<byte> message) {
    return bridge.SendCommand(message.data(), static_cast<int32_t>(message.size()));
}
int SendShort(BridgeHarness& bridge) {
    byte tooShort[10] = {};
    return bridge.SendCommand(tooShort, 10);
}

TEST(Bridge, OneReceiverAndTheFirstRoleThatIsSetWins) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);
    // Without a role the receiver refuses to exist (recorded as telemetry) and the role stays free.
    EXPECT_EQ(errorOf([&] { bridge.CreateReceiver(NotInitialized); }),
              "Veltrix Core Exception: Exception code 032. \nRuntime not initialized");
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    EXPECT_EQ(bridge.Events("Native exception"),
              (std::vector<Event>{{"Native exception",
                                   "Veltrix Core Exception: Exception code 032. Runtime not initialized", "Unknown"}}));
    IReceiver* receiver = bridge.CreateReceiver(Called);
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(bridge.CreateReceiver(Calling), receiver);
    EXPECT_EQ(bridge.GetReceiver(), receiver);
    ITransmitter* transmitter = bridge.CreateTransmitter(Calling);
    EXPECT_EQ(TransmitterMode(transmitter), static_cast<int>(Called));
    EXPECT_EQ(bridge.CreateTransmitter(Calling), transmitter);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
}

TEST(Bridge, TheFirstOutgoingCommandTakesTheCallingRoleIfNoneIsSet) {
    for (auto [first, expected] : {std::pair{NotInitialized, Calling}, {Called, Called}}) {
        BridgeHarness bridge;
        if (first == Called) bridge.CreateReceiver(Called);
        EXPECT_EQ(SendShort(bridge), -2);
        ASSERT_NE(bridge.GetTransmitter(), nullptr);
        EXPECT_EQ(TransmitterMode(bridge.GetTransmitter()), static_cast<int>(expected));
    }
    // A receiver asked for later gets the calling role: it starts nothing, reports nothing and has nothing to
    // send to. SetEmbeddedRuntime and DeployRuntime run the same start-up step.
    BridgeHarness bridge({.loggingLevel = "all"});
    EXPECT_EQ(bridge.SetEmbeddedRuntime(4, 0, 0, nullptr), -4);
    ITransmitter* transmitter = bridge.GetTransmitter();
    EXPECT_EQ(TransmitterMode(transmitter), static_cast<int>(Calling));
    auto message = ToRuntime(0);
    EXPECT_EQ(bridge.DeployRuntime(message.data(), 11, nullptr, 0), -5);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(bridge.Events("Native message").empty());
    EXPECT_EQ(errorOf([&] { receiver->SendCommand(message.data(), 11); }),
              "Perl Launcher: SendCommand C API function not loaded or launcher not initialized.");
}

TEST(Bridge, ATransmitterWithoutARoleLeavesTheRoleForTheReceiver) {
    BridgeHarness bridge;
    ITransmitter* transmitter = bridge.CreateTransmitter(NotInitialized);
    EXPECT_EQ(bridge.CreateTransmitter(Called), transmitter);
    EXPECT_EQ(TransmitterMode(transmitter), static_cast<int>(NotInitialized));
    IReceiver* receiver = bridge.CreateReceiver(Called);  // not code 032: the role is set now
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(SendShort(bridge), -2);  // the start-up step finds the transmitter and changes nothing
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
    EXPECT_EQ(bridge.CreateReceiver(Calling), receiver);
}

TEST(Bridge, FailuresBecomeNegativeResultsWithTheirTextKeptUntilTheNextFailure) {
    BridgeHarness bridge;
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");
    byte buffer[16] = {};
    EXPECT_EQ(bridge.ReadResponse(buffer, 16), -3);
    EXPECT_STREQ(bridge.GetNativeError(), "No transmitter exists yet: send a command before reading its response");
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);  // reading creates none
    EXPECT_EQ(bridge.SendCommand(nullptr, 0), -2);
    EXPECT_STREQ(bridge.GetNativeError(), shortCommand.c_str());
    auto message = ToRuntime(0);
    const std::pair<std::function<int()>, int> nullTexts[] = {
        {[&] { return bridge.SetConfigSource(nullptr); }, -6},
        {[&] { return bridge.SetWorkingDirectory(nullptr); }, -7},
        {[&] { return bridge.SetEmbeddedRuntime(4, 0, 0, nullptr); }, -4},
        {[&] { return bridge.DeployRuntime(message.data(), 11, nullptr, 0); }, -5}};
    for (const auto& [call, result] : nullTexts) {
        EXPECT_EQ(call(), result);
        EXPECT_EQ(bridge.GetNativeError(), nullText);
    }
    EXPECT_EQ(SendShort(bridge), -2);
    EXPECT_EQ(bridge.SetConfigSource(R"({"loggingLevel": "off"})"), 0);  // a success leaves the text
    EXPECT_EQ(bridge.GetNativeError(), shortCommand);
}

TEST(Bridge, ConfigurationEntryPointsPassTheUtilsResultOrItsFailure) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.SetWorkingDirectory(bridge.tree.root().c_str()), 0);
    EXPECT_EQ(bridge.SetConfigSource("{}"), 0);
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");
    EXPECT_EQ(bridge.SetWorkingDirectory("/no/such/dir"), -7);
    EXPECT_STREQ(bridge.GetNativeError(), "Utils: SetWorkingDirectory: '/no/such/dir' is not an existing directory");
    EXPECT_EQ(bridge.SetConfigSource(""), -6);
    EXPECT_STREQ(bridge.GetNativeError(), "Utils: the configuration source is empty");

    BridgeHarness withoutUtils({.withUtils = false});
    std::string cannotLoad =
        "Veltrix Core Exception: Exception code 001. \nCannot load: " + withoutUtils.tree.nativeDir().string() +
        "/Utils.dll. \nError: 126 - ";
    EXPECT_EQ(withoutUtils.SetConfigSource("{}"), -6);
    EXPECT_EQ(std::string(withoutUtils.GetNativeError()).rfind(cannotLoad, 0), 0U) << withoutUtils.GetNativeError();
    EXPECT_EQ(withoutUtils.SetWorkingDirectory("/"), -7);
    EXPECT_EQ(std::string(withoutUtils.GetNativeError()).rfind(cannotLoad, 0), 0U) << withoutUtils.GetNativeError();
}

// The stand-in runtime is a real library: the objects cross the library boundary both ways.
TEST(Bridge, ACommandReachesAnotherRuntimesLibraryInTheTree) {
    BridgeHarness bridge;
    auto clr = bridge.tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
    auto message = ToRuntime(0, {0x41, 0x42});
    ASSERT_EQ(Send(bridge, message), 13) << bridge.GetNativeError();
    std::vector<byte> response(13);
    EXPECT_EQ(bridge.ReadResponse(response.data(), 13), 13);
    message[10] = 0;  // the stand-in answers with the command type Value
    EXPECT_EQ(response, message);
    EXPECT_EQ(
        StandinCallLog(clr).rfind("CreateReceiver(1)\nInitialize(4,0,0)\nCreateTransmitter(1)\nSendCommand(13:", 0), 0U)
        << StandinCallLog(clr);

    EXPECT_EQ(Send(bridge, ToRuntime(1)), -2);
    std::string go = (bridge.tree.nativeDir() / "VeltrixGoRuntimeNative.dll").string();
    EXPECT_EQ(std::string(bridge.GetNativeError()), "Veltrix Core Exception: Exception code 001. \nCannot load: " + go +
                                                        ". \nError: 126 - " + go +
                                                        ": cannot open shared object file: No such file or directory");
}

// --- Threads ----------------------------------------------------------------------------------------

TEST(BridgeConcurrency, TheFailureOfAThreadThatHasEndedIsReadOnAnother) {
    BridgeHarness bridge;
    std::thread([&] { EXPECT_EQ(bridge.SetConfigSource(nullptr), -6); }).join();
    EXPECT_EQ(bridge.GetNativeError(), nullText);
}

// Readers keep a valid text of one whole failure while other threads fail.
TEST(BridgeConcurrency, ATextReadStaysWholeWhileOtherThreadsFail) {
    BridgeHarness bridge;
    const std::set<std::string> texts = {nullText, shortCommand, "Undefined error"};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {  // each failure writes an error record, 50 ms each
                if (t % 2 == 0) (t == 0 ? bridge.SetWorkingDirectory(nullptr) : SendShort(bridge));
                const char* text = bridge.GetNativeError();
                std::this_thread::yield();
                EXPECT_EQ(texts.count(text), 1U) << text;
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

TEST(BridgeConcurrency, CreationUnderContentionGivesOneRoleAndOneOfEachObject) {
    BridgeHarness bridge;
    constexpr int threads = 24;
    std::latch start(threads);
    std::vector<IReceiver*> receivers(threads, nullptr);
    std::vector<ITransmitter*> transmitters(threads, nullptr);
    std::vector<std::thread> racers;
    for (int i = 0; i < threads; ++i) {
        racers.emplace_back([&, i] {
            start.arrive_and_wait();
            switch (i % 3) {
                case 0: receivers[i] = bridge.CreateReceiver(Called); break;
                case 1: transmitters[i] = bridge.CreateTransmitter(Calling); break;
                default: EXPECT_EQ(SendShort(bridge), -2); transmitters[i] = bridge.GetTransmitter();
            }
        });
    }
    for (auto& racer : racers) racer.join();
    for (int i = 0; i < threads; ++i) {
        if (i % 3 == 0) {
            EXPECT_EQ(receivers[i], bridge.GetReceiver()) << i;
        } else {
            EXPECT_EQ(transmitters[i], bridge.GetTransmitter()) << i;
        }
    }
    int mode = TransmitterMode(bridge.GetTransmitter());
    EXPECT_TRUE(mode == static_cast<int>(Calling) || mode == static_cast<int>(Called)) << mode;
}

}  // namespace
