// BridgeHarness.cpp: builds the product tree, points the stand-in Utils.dll at a record file, loads the bridge.
#include "BridgeHarness.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Transmitter/NativeTransmitter.h"

namespace fs = std::filesystem;

namespace veltrix::test {

const char* const reportMarker = "front-test receiver report";

const char* const echoReceiverModule = R"PERL(package Veltrix::Core::Receiver::Receiver;
use strict;
use warnings;
sub send_command { my (undef, $bytes) = @_; return [ @$bytes ]; }
sub heart_beat { my (undef, $bytes) = @_; return [ @$bytes ]; }
sub get_runtime_info { return "front-test receiver report"; }
1;
)PERL";

BridgeHarness::BridgeHarness() : BridgeHarness(Options{}) {}

BridgeHarness::BridgeHarness(const Options& options) {
    callsFile_ = tree_.root() / "utils-calls.txt";
    if (options.withOpenSsl) {
        fs::create_symlink(FRONT_LIBCRYPTO, tree_.nativeDir() / "libcrypto-3-x64.dll");
        fs::create_symlink(FRONT_LIBSSL, tree_.nativeDir() / "libssl-3-x64.dll");
    }
    if (options.withUtils) {
        tree_.addNativeLibrary(options.utilsLibrary.empty() ? FRONT_STANDIN_UTILS : options.utilsLibrary, "Utils.dll");
    }
    setenv("FRONT_UTILS_EVENTS", callsFile_.c_str(), 1);
    setenv("FRONT_UTILS_LEVEL", options.loggingLevel.c_str(), 1);
    if (!options.receiverModule.empty()) tree_.writeReceiverModule(options.receiverModule);

    bridge_ = std::make_unique<Library>(tree_.addBridge().string());
    // The receiver, the transmitter and a started interpreter live until the process ends; so does their code.
    const Library& lib = *bridge_;
    CreateReceiver = lib.get<CreateReceiverFn>("CreateReceiver");
    GetReceiver = lib.get<IReceiver* (*)()>("GetReceiver");
    CreateTransmitter = lib.get<CreateTransmitterFn>("CreateTransmitter");
    GetTransmitter = lib.get<ITransmitter* (*)()>("GetTransmitter");
    SendCommand = lib.get<SendCommandFn>("SendCommand");
    ReadResponse = lib.get<ReadResponseFn>("ReadResponse");
    SetConfigSource = lib.get<SetConfigSourceFn>("SetConfigSource");
    SetWorkingDirectory = lib.get<SetWorkingDirectoryFn>("SetWorkingDirectory");
    GetNativeError = lib.get<GetNativeErrorFn>("GetNativeError");
    SetEmbeddedRuntime = lib.get<SetEmbeddedRuntimeFn>("SetEmbeddedRuntime");
    DeployRuntime = lib.get<DeployRuntimeFn>("DeployRuntime");
    bridge_->leak();
}

namespace {

std::string readField(std::istream& in) {
    size_t length = 0;
    char colon = 0;
    if (!(in >> length) || !in.get(colon) || colon != ':') throw std::runtime_error("malformed Utils record");
    std::string text(length, '\0');
    if (!in.read(text.data(), static_cast<std::streamsize>(length))) throw std::runtime_error("truncated Utils record");
    return text;
}

}  // namespace

std::vector<UtilsCall> BridgeHarness::utilsCalls() const {
    std::vector<UtilsCall> calls;
    std::ifstream in(callsFile_, std::ios::binary);
    while (in.peek() != std::char_traits<char>::eof()) {
        UtilsCall call;
        call.kind = readField(in);
        call.operation = readField(in);
        call.message = readField(in);
        call.runtime = readField(in);
        if (in.get() != '\n') throw std::runtime_error("Utils record without line end");
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<UtilsCall> BridgeHarness::events(const std::string& operation) const {
    std::vector<UtilsCall> matching;
    for (UtilsCall& call : utilsCalls()) {
        if (call.kind == "LogMessage" && call.operation == operation) matching.push_back(std::move(call));
    }
    return matching;
}

int transmitterMode(ITransmitter* transmitter) {
    // The bridge's transmitter is a NativeTransmitter; no type info is needed for this downcast.
    return static_cast<int>(
        static_cast<VeltrixNS::Native::Transmitter::NativeTransmitter*>(transmitter)->operationMode);
}

}  // namespace veltrix::test
