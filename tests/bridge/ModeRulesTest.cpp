// The one role, receiver and transmitter of a process, whichever entry point comes first and on however many threads.
#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BridgeHarness.h"

using veltrix::test::BridgeHarness;
using veltrix::test::Called;
using veltrix::test::Calling;
using veltrix::test::echoReceiverModule;
using veltrix::test::NotInitialized;
using veltrix::test::transmitterMode;

namespace {

const char* const shortCommandText = "Message byte array length is less than 11";
const char* const launcherNotLoadedText =
    "Perl Launcher: SendCommand C API function not loaded or launcher not initialized.";

int asInt(RuntimeOperationMode mode) {
    return static_cast<int>(mode);
}

}  // namespace

TEST(ModeRules, TheFirstRoleWins) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);
    ASSERT_NE(bridge.CreateReceiver(Called), nullptr);
    ITransmitter* transmitter = bridge.CreateTransmitter(Calling);
    ASSERT_NE(transmitter, nullptr);
    EXPECT_EQ(transmitterMode(transmitter), asInt(Called));
    EXPECT_EQ(bridge.CreateTransmitter(Calling), transmitter);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
}

TEST(ModeRules, AFirstSendCommandTakesTheCallingRole) {
    BridgeHarness::Options options;
    options.loggingLevel = "all";
    BridgeHarness bridge(options);
    byte tooShort[10] = {};
    EXPECT_EQ(bridge.SendCommand(tooShort, 10), -2);
    EXPECT_STREQ(bridge.GetNativeError(), shortCommandText);
    ITransmitter* transmitter = bridge.GetTransmitter();
    ASSERT_NE(transmitter, nullptr);
    EXPECT_EQ(transmitterMode(transmitter), asInt(Calling));

    // A receiver asked for later gets the calling role: it initialises without loading Perl,
    // sends no event and prints nothing, and its launcher has nothing to send to.
    IReceiver* receiver = bridge.CreateReceiver(Called);
    ASSERT_NE(receiver, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(bridge.events("Native message").empty());
    byte command[11] = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    try {
        receiver->SendCommand(command, 11);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), launcherNotLoadedText);
    }
}

TEST(ModeRules, AfterACalledReceiverTheFirstSendCommandMakesACalledTransmitter) {
    BridgeHarness bridge;
    ASSERT_NE(bridge.CreateReceiver(Called), nullptr);
    EXPECT_EQ(bridge.GetTransmitter(), nullptr);
    byte tooShort[10] = {};
    EXPECT_EQ(bridge.SendCommand(tooShort, 10), -2);
    ASSERT_NE(bridge.GetTransmitter(), nullptr);
    EXPECT_EQ(transmitterMode(bridge.GetTransmitter()), asInt(Called));
}

TEST(ModeRules, ATransmitterWithoutARoleLeavesTheRoleUnset) {
    BridgeHarness bridge;
    ITransmitter* transmitter = bridge.CreateTransmitter(NotInitialized);
    ASSERT_NE(transmitter, nullptr);
    EXPECT_EQ(transmitterMode(transmitter), asInt(NotInitialized));
    EXPECT_EQ(bridge.CreateTransmitter(Called), transmitter);
    EXPECT_EQ(transmitterMode(transmitter), asInt(NotInitialized));

    // The role is still free: the receiver fixes it instead of failing with code 032.
    IReceiver* receiver = bridge.CreateReceiver(Called);
    ASSERT_NE(receiver, nullptr);
    // The first command's start-up step finds the transmitter and changes nothing.
    byte tooShort[10] = {};
    EXPECT_EQ(bridge.SendCommand(tooShort, 10), -2);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
    EXPECT_EQ(bridge.CreateReceiver(Calling), receiver);
}

TEST(ModeRules, SetEmbeddedRuntimeAndDeployRuntimeAlsoRunTheStartUpStep) {
    BridgeHarness bridge;
    EXPECT_EQ(bridge.SetEmbeddedRuntime(4, 0, 0, nullptr), -4);
    ITransmitter* transmitter = bridge.GetTransmitter();
    ASSERT_NE(transmitter, nullptr);
    EXPECT_EQ(transmitterMode(transmitter), asInt(Calling));
    byte message[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    EXPECT_EQ(bridge.DeployRuntime(message, 11, nullptr, 0), -5);
    EXPECT_EQ(bridge.GetTransmitter(), transmitter);
}

// Many threads race to be first: one role, one receiver and one transmitter result, and the receiver's role is
// the transmitter's.
TEST(ModeRules, CreationUnderContentionGivesOneRoleAndOneOfEachObject) {
    BridgeHarness::Options options;
    options.receiverModule = echoReceiverModule;
    BridgeHarness bridge(options);

    constexpr int threads = 24;
    std::latch start(threads);
    std::vector<IReceiver*> receivers(threads, nullptr);
    std::vector<ITransmitter*> transmitters(threads, nullptr);
    std::vector<int> sendResults(threads, 0);
    std::vector<std::string> errors(threads);
    std::vector<std::thread> racers;
    for (int i = 0; i < threads; ++i) {
        racers.emplace_back([&, i] {
            start.arrive_and_wait();
            switch (i % 3) {
                case 0: receivers[i] = bridge.CreateReceiver(Called); break;
                case 1: transmitters[i] = bridge.CreateTransmitter(Calling); break;
                default: {
                    byte tooShort[10] = {};
                    sendResults[i] = bridge.SendCommand(tooShort, 10);
                    errors[i] = bridge.GetNativeError();
                    transmitters[i] = bridge.GetTransmitter();
                }
            }
        });
    }
    for (auto& racer : racers) racer.join();

    IReceiver* receiver = bridge.GetReceiver();
    ITransmitter* transmitter = bridge.GetTransmitter();
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(transmitter, nullptr);
    for (int i = 0; i < threads; ++i) {
        if (i % 3 == 0) {
            EXPECT_EQ(receivers[i], receiver) << i;
        } else {
            EXPECT_EQ(transmitters[i], transmitter) << i;
        }
        if (i % 3 == 2) {
            EXPECT_EQ(sendResults[i], -2) << i;
            EXPECT_EQ(errors[i], shortCommandText) << i;
        }
    }

    int mode = transmitterMode(transmitter);
    ASSERT_TRUE(mode == asInt(Calling) || mode == asInt(Called)) << mode;
    // Only a receiver in the called role starts Perl and reports its initialisation.
    EXPECT_EQ(receiver->Initialize(0, 4, 0), 0);
    EXPECT_EQ(bridge.events("Native message").size(), mode == asInt(Called) ? 1U : 0U) << "role " << mode;
}
