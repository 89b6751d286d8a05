// BridgeHarness.h: a copy of the bridge in a throw-away product tree, loaded with dlopen beside a copy of the
// product's Utils.dll and the OpenSSL pair; its configuration is set through VELTRIX_CONFIG and its telemetry
// events land in a file of the tree. Every harness loads a fresh copy, with fresh process-wide state.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Common/NativeExports.h"
#include "Library.h"
#include "TempProductTree.h"

namespace veltrix::test {

constexpr RuntimeOperationMode NotInitialized = RuntimeOperationMode::RuntimeNotInitialized;
constexpr RuntimeOperationMode Calling = RuntimeOperationMode::CallingRuntime;
constexpr RuntimeOperationMode Called = RuntimeOperationMode::CalledRuntime;

// A receiver module that echoes every command and reports a marker as its part of the runtime report.
inline const char* const echoReceiverModule = R"PERL(package Veltrix::Core::Receiver::Receiver;
sub send_command { my (undef, $bytes) = @_; return [ @$bytes ]; }
sub heart_beat { my (undef, $bytes) = @_; return [ @$bytes ]; }
sub get_runtime_info { return "bridge-test receiver report"; }
1;
)PERL";

struct Event {
    std::string operation, message, runtime;
    bool operator==(const Event&) const = default;
};

class BridgeHarness {
public:
    struct Options {
        bool withUtils = true;
        std::string loggingLevel = "off";
        std::string receiverModule = echoReceiverModule;
        bool load = true;  // false: the test calls Load itself
    };
    explicit BridgeHarness(const Options& options);
    BridgeHarness() : BridgeHarness(Options{}) {}

    // The telemetry events sent so far whose operation name is `operation`.
    std::vector<Event> Events(const std::string& operation) const;
    // Loads the bridge of the tree from `path` (by default its place in the tree).
    void Load(const std::string& path = "");

    TempProductTree tree;
    CreateReceiverFn CreateReceiver = nullptr;
    IReceiver* (*GetReceiver)() = nullptr;
    CreateTransmitterFn CreateTransmitter = nullptr;
    ITransmitter* (*GetTransmitter)() = nullptr;
    SendCommandFn SendCommand = nullptr;
    ReadResponseFn ReadResponse = nullptr;
    SetConfigSourceFn SetConfigSource = nullptr;
    SetWorkingDirectoryFn SetWorkingDirectory = nullptr;
    GetNativeErrorFn GetNativeError = nullptr;
    SetEmbeddedRuntimeFn SetEmbeddedRuntime = nullptr;
    DeployRuntimeFn DeployRuntime = nullptr;
};

// The role a transmitter was made with.
int TransmitterMode(ITransmitter* transmitter);

}  // namespace veltrix::test
