// NativeTransmitter.h: sends commands out: picks the channel named by the message header and forwards to it.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "Definitions/runtimeOperationMode.h"
#include "ITransmitter.h"
#include "ITransport.h"
#include "_common.h"

namespace VeltrixNS::Native::Transmitter {

class NativeTransmitter : public VeltrixNS::Native::Interfaces::ITransmitter {
public:
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    void SetTransportChannel(VeltrixNS::Native::Interfaces::ITransport* pTransport) override;
    int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                           std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;

private:
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> inMemoryTransportChannel;
    std::map<std::string, std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport>> transportNetworkChannelsMap;

public:
    // The channel of the latest command; ReadResponse reads from it.
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> transportChannel;
    // Role of the library when the transmitter was made; kept, not consulted.
    VeltrixNS::Native::Definitions::RuntimeOperationMode operationMode;

protected:
    explicit NativeTransmitter(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode);
    ~NativeTransmitter() override;

    void InitializeTransportChannel(byte* messageByteArray);
    void GetTransportChannel(byte* messageByteArray);

private:
    NativeTransmitter();
    NativeTransmitter(const NativeTransmitter&);
    NativeTransmitter& operator=(const NativeTransmitter&);

    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> CreateNetworkChannel(byte* messageByteArray);
    std::shared_ptr<VeltrixNS::Native::Interfaces::ITransport> CreateInMemoryTransportChannel();
};

}  // namespace VeltrixNS::Native::Transmitter
