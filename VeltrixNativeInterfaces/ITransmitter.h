// ITransmitter.h: the object through which a runtime sends commands out (slot order fixed).
#pragma once
#include <string>

#include "ITransport.h"
#include "_common.h"

namespace VeltrixNS::Native::Interfaces {

class VELTRIX_VISIBLE ITransmitter {
public:
    virtual ~ITransmitter() = default;
    virtual int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) = 0;
    virtual int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) = 0;
    virtual void SetTransportChannel(ITransport* pTransport) = 0;
    virtual int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                                   std::string path) = 0;
    virtual int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) = 0;
};

}  // namespace VeltrixNS::Native::Interfaces
