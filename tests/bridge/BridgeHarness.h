// BridgeHarness.h: the bridge loaded with dlopen from a throw-away product tree, with a recording
// stand-in Utils.dll (and the OpenSSL pair it needs) beside it.
#pragma once
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Common/NativeExports.h"
#include "Library.h"
#include "TempProductTree.h"

namespace veltrix::test {

// The three roles, short.
constexpr RuntimeOperationMode NotInitialized = RuntimeOperationMode::RuntimeNotInitialized;
constexpr RuntimeOperationMode Calling = RuntimeOperationMode::CallingRuntime;
constexpr RuntimeOperationMode Called = RuntimeOperationMode::CalledRuntime;

// One call that reached the stand-in Utils.dll: LogMessage(operation, message, runtime), or a configuration
// call with its argument in `operation`.
struct UtilsCall {
    std::string kind;
    std::string operation;
    std::string message;
    std::string runtime;
};

// A receiver module that echoes every command and reports a marker as its part of the runtime report.
extern const char* const echoReceiverModule;
extern const char* const reportMarker;

class BridgeHarness {
public:
    struct Options {
        bool withOpenSsl = true;           // the OpenSSL pair that is loaded before Utils.dll
        bool withUtils = true;             // a Utils.dll: the recording stand-in, or else utilsLibrary
        std::string utilsLibrary;          // the Utils.dll to copy in instead of the stand-in
        std::string loggingLevel = "off";  // what the stand-in's GetLoggingLevel answers
        std::string receiverModule;        // written as the receiver module when not empty
    };

    BridgeHarness();
    explicit BridgeHarness(const Options& options);

    TempProductTree& tree() { return tree_; }
    // Every call the stand-in Utils.dll recorded so far, in order.
    std::vector<UtilsCall> utilsCalls() const;
    // The LogMessage calls whose operation name is `operation`.
    std::vector<UtilsCall> events(const std::string& operation) const;

    CreateReceiverFn CreateReceiver;
    IReceiver* (*GetReceiver)();
    CreateTransmitterFn CreateTransmitter;
    ITransmitter* (*GetTransmitter)();
    SendCommandFn SendCommand;
    ReadResponseFn ReadResponse;
    SetConfigSourceFn SetConfigSource;
    SetWorkingDirectoryFn SetWorkingDirectory;
    GetNativeErrorFn GetNativeError;
    SetEmbeddedRuntimeFn SetEmbeddedRuntime;
    DeployRuntimeFn DeployRuntime;

private:
    TempProductTree tree_;
    std::filesystem::path callsFile_;
    std::unique_ptr<Library> bridge_;
};

// Role a transmitter was made with (the transmitter keeps it as a public member).
int transmitterMode(ITransmitter* transmitter);

}  // namespace veltrix::test
