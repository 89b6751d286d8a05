// ITransport.h: a channel from a transmitter to another runtime (slot order fixed).
#pragma once
#include <string>

#include "_common.h"

namespace VeltrixNS::Native::Interfaces {

class VELTRIX_VISIBLE ITransport {
public:
    virtual ~ITransport() = default;
    virtual int Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) = 0;
    virtual int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) = 0;
    virtual int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) = 0;
    virtual int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                                   std::string path) = 0;
    virtual int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) = 0;
};

}  // namespace VeltrixNS::Native::Interfaces
