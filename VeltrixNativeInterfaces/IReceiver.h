// IReceiver.h: the object another runtime drives to call into this runtime (slot order fixed).
#pragma once
#include <string>

#include "_common.h"

namespace VeltrixNS::Native::Interfaces {

class VELTRIX_VISIBLE IReceiver {
public:
    virtual ~IReceiver() = default;
    virtual void SetConfigSource(std::string configSource) = 0;
    virtual int Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) = 0;
    virtual int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) = 0;
    virtual int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) = 0;
    virtual void LogException(byte* responseByteArray, int32_t responseByteArrayLen) = 0;
    virtual int LoadOptimizedMethod(std::string optimizedMethodName) = 0;
    virtual int SetEmbeddedRuntime(byte calledRuntimeVersion, std::string path) = 0;
    virtual int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) = 0;
};

}  // namespace VeltrixNS::Native::Interfaces
