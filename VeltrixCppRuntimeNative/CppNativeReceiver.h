// CppNativeReceiver.h: the receiver and the transmitter that the C++ runtime's library hands to the in-memory
// transport of another runtime.
#pragma once
#include <string>

#include "IReceiver.h"
#include "ITransmitter.h"

namespace VeltrixNS::Runtimes::Cpp::Native {

// Host functions calling Perl calling host functions nest at most this deep on one thread; a deeper call is an
// Exception response.
inline constexpr int MaxHostCallDepth = 64;

// Answers InvokeGlobalMethod (a host function by name or handle, then its arguments) and DestructReference (host
// function handles that Perl no longer holds) in the command format; any other command gets an Exception response.
// Thread-safe: a command and the reading of its response happen on one thread, and each thread (and each nesting
// level on it) has its own response.
class CppNativeReceiver final : public VeltrixNS::Native::Interfaces::IReceiver {
public:
    void SetConfigSource(std::string configSource) override;
    int Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) override;
    // The response's length; the message may be anything (an unreadable one gets an Exception response).
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    // Copies at most the length of the latest response of this thread.
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    void LogException(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int LoadOptimizedMethod(std::string optimizedMethodName) override;
    int SetEmbeddedRuntime(byte calledRuntimeVersion, std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;
};

// The C++ runtime sends nothing through its library (a C++ host calls other runtimes with their own libraries): the
// commands raise, the settings do nothing.
class CppNativeTransmitter final : public VeltrixNS::Native::Interfaces::ITransmitter {
public:
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    void SetTransportChannel(VeltrixNS::Native::Interfaces::ITransport* pTransport) override;
    int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                           std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;
};

}  // namespace VeltrixNS::Runtimes::Cpp::Native
