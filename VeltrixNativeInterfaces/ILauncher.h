// ILauncher.h: interface of every Perl launcher (slot order is fixed across libraries).
#pragma once
#include <string>

#include "_common.h"

namespace VeltrixNS::Native::Interfaces {

class VELTRIX_VISIBLE ILauncher {
public:
    virtual ~ILauncher() = default;
    virtual void Initialize(byte calledRuntimeVersion) = 0;
    virtual int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) = 0;
    virtual int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) = 0;
    virtual int LoadOptimizedMethod(std::string optimizedMethodName) = 0;
    virtual int SetPath(byte calledRuntimeVersion, std::string path) = 0;
    virtual int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) = 0;
    virtual bool IsInitialized() = 0;
    virtual void SetInitialized() = 0;
    virtual std::string GetRuntimeName() = 0;
    virtual std::string GetRuntimeInfo() = 0;
};

}  // namespace VeltrixNS::Native::Interfaces
