// BridgeHarness.h: a copy of the bridge in a throw-away product tree, loaded with dlopen beside a copy of the
// product's Utils.dll and the OpenSSL pair; its configuration is set through VELTRIX_CONFIG and its telemetry
// events land in a file of the tree. Every harness loads a fresh copy, with fresh process-wide state.
#pragma once
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Common/NativeExports.h"
#include "Library.h"
#include "Messages.h"
#include "TempProductTree.h"
#include "Transmitter/NativeTransmitter.h"

namespace veltrix::test {

constexpr RuntimeOperationMode NotInitialized = RuntimeOperationMode::RuntimeNotInitialized;
constexpr RuntimeOperationMode Calling = RuntimeOperationMode::CallingRuntime;
constexpr RuntimeOperationMode Called = RuntimeOperationMode::CalledRuntime;

struct Event {
    std::string operation, message, runtime;
    bool operator==(const Event&) const = default;
};

struct BridgeOptions {
    bool withUtils = true;
    std::string loggingLevel = "off";
    bool load = true;  // false: the test calls Load itself
};

struct BridgeHarness {
    explicit BridgeHarness(const BridgeOptions& options = {}) {
        namespace fs = std::filesystem;
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libcrypto.so.3", tree.nativeDir() / "libcrypto-3-x64.dll");
        fs::create_symlink("/usr/lib/x86_64-linux-gnu/libssl.so.3", tree.nativeDir() / "libssl-3-x64.dll");
        if (options.withUtils) tree.addNativeLibrary(UTILS_LIBRARY, "Utils.dll");
        // Echoes every command; the marker is the module's part of the runtime report.
        tree.writeReceiverModule(
            "package Veltrix::Core::Receiver::Receiver;\nsub send_command { return [ @{$_[1]} ] }\n"
            "sub heart_beat { return [ @{$_[1]} ] }\nsub get_runtime_info { 'bridge-test report' }\n1;\n");
        tree.addBridge();
        // Read by this tree's Utils.dll when it is first asked; error logs go to the tree as well.
        nlohmann::json config = {{"loggingLevel", options.loggingLevel},
                                 {"workingDirectory", tree.root().string()},
                                 {"telemetryFile", (tree.root() / "telemetry.jsonl").string()}};
        setenv("VELTRIX_CONFIG", config.dump().c_str(), 1);
        if (options.load) Load((tree.nativeDir() / "VeltrixPerl540RuntimeNative.dll").string());
    }
    // The receiver, the transmitter and a started interpreter live until the process ends; so does the code.
    void Load(const std::string& path) {
        Library bridge(path);
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
    // The telemetry events sent so far whose operation name is `operation`.
    std::vector<Event> Events(const std::string& operation) const {
        std::vector<Event> events;
        std::ifstream in(tree.root() / "telemetry.jsonl");
        for (std::string line; std::getline(in, line);) {
            auto e = nlohmann::json::parse(line);
            if (e["operation"] == operation) events.push_back({operation, e["message"], e["runtime"]});
        }
        return events;
    }
    // The role the transmitter was made with (the bridge's transmitter is a NativeTransmitter).
    int TransmitterMode() const {
        return static_cast<int>(
            static_cast<VeltrixNS::Native::Transmitter::NativeTransmitter*>(GetTransmitter())->operationMode);
    }

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

}  // namespace veltrix::test
