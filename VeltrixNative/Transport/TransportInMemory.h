// TransportInMemory.h: carries commands to another runtime in this process through its native library's receiver.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "Definitions/runtimeOperationMode.h"
#include "IReceiver.h"
#include "ITransmitter.h"
#include "ITransport.h"
#include "Platform/SharedLibrary.h"
#include "_common.h"

namespace VeltrixNS::Native::Transport {

using CreateReceiverFuncPointer =
    VeltrixNS::Native::Interfaces::IReceiver* (*)(VeltrixNS::Native::Definitions::RuntimeOperationMode);
using CreateTransmitterFuncPointer =
    VeltrixNS::Native::Interfaces::ITransmitter* (*)(VeltrixNS::Native::Definitions::RuntimeOperationMode);

class TransportInMemory : public VeltrixNS::Native::Interfaces::ITransport {
public:
    TransportInMemory();
    ~TransportInMemory() override;
    TransportInMemory(const TransportInMemory&) = delete;
    TransportInMemory& operator=(const TransportInMemory&) = delete;

    int Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                           std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;

private:
    void ImportCalledLibrary();
    void ImportCallingLibrary();
    void ImportLibrary(byte runtimeNumber);
    bool LibraryLoaded(byte runtimeNumber) const;
    void CreateReceiverInCalledRuntime();
    void CreateTransmitterInCalledRuntime();
    void CreateReceiverInCallingRuntime();
    void CreateTransmitterInCallingRuntime();
    void SendHeartBeatToCalledRuntime();
    void SendHeartBeatToCallingRuntime();

    // The receiver stored for a runtime number; raises when there is none.
    const std::shared_ptr<VeltrixNS::Native::Interfaces::IReceiver>& StoredReceiver(int runtimeNumber);

    byte callingRuntimeNumber_;
    byte calledRuntimeNumber_;
    byte calledRuntimeVersion_;
    std::shared_ptr<VeltrixNS::Native::Interfaces::IReceiver> currentReceiver;
    std::map<int, std::shared_ptr<VeltrixNS::Native::Interfaces::IReceiver>> receivers;
    std::map<int, std::shared_ptr<VeltrixNS::Native::Interfaces::ITransmitter>> transmitters;
    std::map<std::thread::id, std::shared_ptr<VeltrixNS::Native::Interfaces::IReceiver>> receiversForThreads;
    std::map<std::thread::id, std::shared_ptr<VeltrixNS::Native::Interfaces::ITransmitter>> transmittersForThreads;
    short numberOfReceivers;
    short numberOfTransmitters;
    // Opened for each runtime number; given back when the transport goes, after the objects obtained from them.
    std::map<int, VeltrixNS::Native::Platform::SharedLibrary> libraryHandles;
    CreateReceiverFuncPointer CreateReceiverInCallingRuntime_fn;
    CreateReceiverFuncPointer CreateReceiverInCalledRuntime_fn;
    CreateTransmitterFuncPointer CreateTransmitterInCallingRuntime_fn;
    CreateTransmitterFuncPointer CreateTransmitterInCalledRuntime_fn;

    // Test access to the private steps (heartbeats, stored bytes).
    friend struct TransportInMemoryProbe;
};

}  // namespace VeltrixNS::Native::Transport
