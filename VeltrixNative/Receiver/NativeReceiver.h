// NativeReceiver.h: the runtime-independent receiver through which another runtime calls into this one.
#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "Definitions/runtimeOperationMode.h"
#include "ILauncher.h"
#include "IReceiver.h"
#include "_common.h"

namespace VeltrixNS::Native::Receiver {

class NativeReceiver : public VeltrixNS::Native::Interfaces::IReceiver {
public:
    NativeReceiver();
    ~NativeReceiver() override;
    NativeReceiver(const NativeReceiver&) = delete;
    NativeReceiver& operator=(const NativeReceiver&) = delete;

    void SetConfigSource(std::string configPath) override;
    int Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    void LogException(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int LoadOptimizedMethod(std::string optimizedMethodName) override;
    int SetEmbeddedRuntime(byte calledRuntimeVersion, std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;

private:
    // 255 names no runtime; Initialize stores the real numbers.
    byte callingRuntime_;
    byte calledRuntime_;
    bool runtimeInfoPrinted;

protected:
    std::unique_ptr<VeltrixNS::Native::Interfaces::ILauncher> pLauncher;
    VeltrixNS::Native::Definitions::RuntimeOperationMode operationMode;

private:
    // Two callers initialising at the same moment must start the launcher and print the report once.
    std::mutex initializeMutex;
};

}  // namespace VeltrixNS::Native::Receiver
