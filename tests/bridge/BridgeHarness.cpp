// BridgeHarness.cpp: builds the product tree, configures its Utils.dll, loads the bridge.
#include "BridgeHarness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Transmitter/NativeTransmitter.h"

namespace veltrix::test {

BridgeHarness::BridgeHarness(const Options& options) {
    namespace fs = std::filesystem;
    fs::create_symlink("/usr/lib/x86_64-linux-gnu/libcrypto.so.3", tree.nativeDir() / "libcrypto-3-x64.dll");
    fs::create_symlink("/usr/lib/x86_64-linux-gnu/libssl.so.3", tree.nativeDir() / "libssl-3-x64.dll");
    if (options.withUtils) tree.addNativeLibrary(UTILS_LIBRARY, "Utils.dll");
    if (!options.receiverModule.empty()) tree.writeReceiverModule(options.receiverModule);
    tree.addBridge();
    // Read by this tree's Utils.dll when it is first asked; error logs go to the tree as well.
    nlohmann::json config = {{"loggingLevel", options.loggingLevel},
                             {"workingDirectory", tree.root().string()},
                             {"telemetryFile", (tree.root() / "telemetry.jsonl").string()}};
    setenv("VELTRIX_CONFIG", config.dump().c_str(), 1);
    if (options.load) Load();
}

void BridgeHarness::Load(const std::string& path) {
    // The receiver, the transmitter and a started interpreter live until the process ends; so does their code.
    Library bridge(path.empty() ? (tree.nativeDir() / "VeltrixPerl540RuntimeNative.dll").string() : path);
    CreateReceiver = bridge.get<CreateReceiverFn>("CreateReceiver");
    GetReceiver = bridge.get<IReceiver* (*)()>("GetReceiver");
    CreateTransmitter = bridge.get<CreateTransmitterFn>("CreateTransmitter");
    GetTransmitter = bridge.get<ITransmitter* (*)()>("GetTransmitter");
    SendCommand = bridge.get<SendCommandFn>("SendCommand");
    ReadResponse = bridge.get<ReadResponseFn>("ReadResponse");
    SetConfigSource = bridge.get<SetConfigSourceFn>("SetConfigSource");
    SetWorkingDirectory = bridge.get<SetWorkingDirectoryFn>("SetWorkingDirectory");
    GetNativeError = bridge.get<GetNativeErrorFn>("GetNativeError");
    SetEmbeddedRuntime = bridge.get<SetEmbeddedRuntimeFn>("SetEmbeddedRuntime");
    DeployRuntime = bridge.get<DeployRuntimeFn>("DeployRuntime");
    bridge.leak();
}

std::vector<Event> BridgeHarness::Events(const std::string& operation) const {
    std::vector<Event> events;
    std::ifstream in(tree.root() / "telemetry.jsonl");
    for (std::string line; std::getline(in, line);) {
        auto event = nlohmann::json::parse(line);
        if (event["operation"] == operation) events.push_back({operation, event["message"], event["runtime"]});
    }
    return events;
}

int TransmitterMode(ITransmitter* transmitter) {
    // The bridge's transmitter is a NativeTransmitter; no type info is needed for this downcast.
    return static_cast<int>(
        static_cast<VeltrixNS::Native::Transmitter::NativeTransmitter*>(transmitter)->operationMode);
}

}  // namespace veltrix::test
