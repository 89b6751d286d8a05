// The bridge's exported entry points, on a fresh copy of the bridge per test: one role, receiver and
// transmitter per process, the configuration entry points, the failure text, and the way to another runtime's
// library (the stand-in runtime, a real library).
#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <thread>

#include "BridgeHarness.h"
#include "ErrorText.h"
#include "Standins.h"

using namespace veltrix::test;

namespace {

const std::string nullText = "basic_string: construction from null is not valid";
const std::string shortCommand = "Message byte array length is less than 11";
const int calling = static_cast<int>(Calling), called = static_cast<int>(Called);

std::vector<byte> ToRuntime(byte runtime, std::initializer_list<byte> body = {}) {
    return rawMessage({.calledRuntime = runtime, .callingRuntime = 4, .commandType = 9}, body);
}
int SendShort(BridgeHarness& bridge) {
    byte tooShort[10] = {};
    return bridge.SendCommand(tooShort, 10);
}

// A role is needed for the receiver (a failure recorded as telemetry, the role left free); a transmitter made
// without one leaves the role to the receiver; after that every creation returns the object made first.
TEST(Bridge, OneReceiverAndOneTransmitterAndTheFirstRoleSetWins) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);
    EXPECT_EQ(errorOf([&] { bridge.CreateReceiver(NotInitialized); }),
              "Veltrix Core Exception: Exception code 032. \nRuntime not initialized");
    EXPECT_EQ(bridge.GetReceiver(), nullptr);
    EXPECT_EQ(bridge.Events("Native exception"),
              (std::vector<Event>{{"Native exception",
                                   "Veltrix Core Exception: Exception code 032. Runtime not initialized", "Unknown"}}));
    ITransmitter* transmitter = bridge.CreateTransmitter(NotInitialized);
    EXPECT_EQ(bridge.CreateTransmitter(Called), transmitter);
    EXPECT_EQ(bridge.TransmitterMode(), static_cast<int>(NotInitialized));
    IReceiver* receiver = bridge.CreateReceiver(Called);
    EXPECT_EQ(bridge.CreateReceiver(Calling), receiver);
    EXPECT_EQ(bridge.GetReceiver(), receiver);
    EXPECT_EQ(bridge.CreateTransmitter(Calling), transmitter);
    EXPECT_EQ(SendShort(bridge), -2);  // the start-up step finds the transmitter and changes nothing
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
}

TEST(Bridge, TheFirstOutgoingCommandTakesTheCallingRoleIfNoneIsSet) {
    BridgeHarness afterReceiver;
    afterReceiver.CreateReceiver(Called);
    EXPECT_EQ(SendShort(afterReceiver), -2);
    EXPECT_EQ(afterReceiver.TransmitterMode(), called);
    // SetEmbeddedRuntime and DeployRuntime run the same start-up step as SendCommand.
    BridgeHarness bridge({.loggingLevel = "all"});
    EXPECT_EQ(bridge.SetEmbeddedRuntime(4, 0, 0, nullptr), -4);
    ITransmitter* transmitter = bridge.GetTransmitter();
    EXPECT_EQ(bridge.TransmitterMode(), calling);
    auto message = ToRuntime(0);
    EXPECT_EQ(bridge.DeployRuntime(message.data(), 11, nullptr, 0), -5);
    EXPECT_EQ(SendShort(bridge), -2);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
    // A receiver asked for later gets the calling role: it starts nothing, reports nothing, has nothing to send to.
    IReceiver* receiver = bridge.CreateReceiver(Called);
    testing::internal::CaptureStdout();
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(bridge.Events("Native message").empty());
    EXPECT_EQ(errorOf([&] { receiver->SendCommand(message.data(), 11); }),
              "Perl Launcher: SendCommand C API function not loaded or launcher not initialized.");
}

TEST(Bridge, FailuresBecomeNegativeResultsWithTheirTextKeptUntilTheNextFailure) {
    BridgeHarness bridge;
    EXPECT_STREQ(bridge.GetNativeError(), "Undefined error");
    byte buffer[16] = {};
    EXPECT_EQ(bridge.ReadResponse(buffer, 16), -3);
    EXPECT_STREQ(bridge.GetNativeError(), "No transmitter exists yet: send a command before reading its response");
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);  // reading creates none
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
    EXPECT_EQ(bridge.SendCommand(nullptr, 0), -2);
    // The configuration entry points pass the utilities library's result, or its failure text.
    EXPECT_EQ(bridge.SetWorkingDirectory(bridge.tree.root().c_str()), 0);
    EXPECT_EQ(bridge.SetConfigSource("{}"), 0);
    EXPECT_EQ(bridge.GetNativeError(), shortCommand);  // a success leaves the text
    EXPECT_EQ(bridge.SetWorkingDirectory("/no/such/dir"), -7);
    EXPECT_STREQ(bridge.GetNativeError(), "Utils: SetWorkingDirectory: '/no/such/dir' is not an existing directory");
    EXPECT_EQ(bridge.SetConfigSource(""), -6);
    EXPECT_STREQ(bridge.GetNativeError(), "Utils: the configuration source is empty");

    BridgeHarness withoutUtils({.withUtils = false});
    std::string cannotLoad =
        "Veltrix Core Exception: Exception code 001. \nCannot load: " + withoutUtils.tree.nativeDir().string() +
        "/Utils.dll. \nError: 126 - ";
    EXPECT_EQ(withoutUtils.SetConfigSource("{}") + withoutUtils.SetWorkingDirectory("/"), -13);
    EXPECT_EQ(std::string(withoutUtils.GetNativeError()).rfind(cannotLoad, 0), 0U) << withoutUtils.GetNativeError();
}

// The stand-in runtime is a real library: the objects cross the library boundary both ways.
TEST(Bridge, ACommandReachesAnotherRuntimesLibraryInTheTree) {
    BridgeHarness bridge;
    auto clr = bridge.tree.addNativeLibrary(STANDIN_RUNTIME, "VeltrixClrRuntimeNative.dll");
    auto message = ToRuntime(0, {0x41, 0x42});
    ASSERT_EQ(bridge.SendCommand(message.data(), 13), 13) << bridge.GetNativeError();
    std::vector<byte> response(13);
    EXPECT_EQ(bridge.ReadResponse(response.data(), 13), 13);
    message[10] = 0;  // the stand-in answers with the command type Value
    EXPECT_EQ(response, message);
    EXPECT_EQ(StandinCallLog(clr),
              "CreateReceiver(1)\nInitialize(4,0,0)\nCreateTransmitter(1)\nSendCommand(13:00 00 "
              "00 00 00 00 00 00 00 04 09 41 42)\nReadResponse(13)\n");
}

TEST(BridgeConcurrency, TheLatestFailureOfAnyThreadIsReadWholeWhileOtherThreadsFail) {
    BridgeHarness bridge;
    std::thread([&] { EXPECT_EQ(bridge.SetConfigSource(nullptr), -6); }).join();
    EXPECT_EQ(bridge.GetNativeError(), nullText);  // the failure of a thread that has ended
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {  // each failure writes an error record, 50 ms each
                if (t < 2) (t == 0 ? bridge.SetWorkingDirectory(nullptr) : SendShort(bridge));
                const char* text = bridge.GetNativeError();
                std::this_thread::yield();
                EXPECT_TRUE(text == nullText || text == shortCommand) << text;
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

// Many threads race to be first: one role, one receiver and one transmitter.
TEST(BridgeConcurrency, CreationUnderContentionGivesOneRoleAndOneOfEachObject) {
    BridgeHarness bridge;
    constexpr int threads = 24;
    std::latch start(threads);
    std::vector<void*> made(threads, nullptr);
    std::vector<std::thread> racers;
    for (int i = 0; i < threads; ++i) {
        racers.emplace_back([&, i] {
            start.arrive_and_wait();
            if (i % 3 == 0) made[i] = bridge.CreateReceiver(Called);
            if (i % 3 == 1) made[i] = bridge.CreateTransmitter(Calling);
            if (i % 3 == 2) made[i] = (SendShort(bridge), bridge.GetTransmitter());
        });
    }
    for (auto& racer : racers) racer.join();
    for (int i = 0; i < threads; ++i) {
        EXPECT_EQ(made[i], i % 3 == 0 ? static_cast<void*>(bridge.GetReceiver()) : bridge.GetTransmitter()) << i;
    }
    EXPECT_TRUE(bridge.TransmitterMode() == calling || bridge.TransmitterMode() == called);
}

}  // namespace
