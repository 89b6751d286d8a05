// StandinRuntime.cpp: another runtime's native library, as far as the in-memory transport can see it.
//
// Exports "CreateReceiver" and "CreateTransmitter" (plain names, operation-mode argument) returning
// process-wide singletons that record every call and answer:
//   receiver SendCommand  keeps the command with byte 10 set to 0 (Value) as its response, returns its length;
//                         a message whose byte 11 is 0xEE throws std::runtime_error("Stand-in failure [expected]")
//   receiver ReadResponse copies up to the buffer length, returns the number of bytes copied
//   receiver Initialize   returns 5 (a result callers must not rely on)
//   SetEmbeddedRuntime    returns 40 + version;  DeployRuntime returns 70 + channel
// Compile definitions make the failure variants: STANDIN_NO_CREATE_RECEIVER, STANDIN_NULL_RECEIVER,
// STANDIN_NO_CREATE_TRANSMITTER, STANDIN_NULL_TRANSMITTER.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "IReceiver.h"
#include "ITransmitter.h"
#include "StandinLog.h"

using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::Interfaces::ITransport;

namespace {

constexpr byte responseType = 0;
constexpr byte failureMarker = 0xEE;

class StandinReceiver final : public IReceiver {
public:
    void SetConfigSource(std::string configSource) override {
        standin::Record("SetConfigSource(" + configSource + ")");
    }

    int Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) override {
        standin::Record("Initialize(" + std::to_string(callingRuntime) + "," + std::to_string(calledRuntime) + "," +
                        std::to_string(calledRuntimeVersion) + ")");
        return 5;
    }

    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override {
        if (standin::Recording())
            standin::Record("SendCommand(" + standin::Bytes(messageByteArray, messageByteArrayLen) + ")");
        if (messageByteArrayLen > 11 && messageByteArray[11] == failureMarker) {
            throw std::runtime_error("Stand-in failure [expected]");
        }
        response.assign(messageByteArray, messageByteArray + std::max<int32_t>(messageByteArrayLen, 0));
        if (response.size() > 10) response[10] = responseType;
        return static_cast<int>(response.size());
    }

    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override {
        if (standin::Recording()) standin::Record("ReadResponse(" + std::to_string(responseByteArrayLen) + ")");
        auto count = std::min<size_t>(response.size(), static_cast<size_t>(std::max<int32_t>(responseByteArrayLen, 0)));
        if (count > 0) std::memcpy(responseByteArray, response.data(), count);
        return static_cast<int>(count);
    }

    void LogException(byte*, int32_t responseByteArrayLen) override {
        standin::Record("LogException(" + std::to_string(responseByteArrayLen) + ")");
    }

    int LoadOptimizedMethod(std::string optimizedMethodName) override {
        standin::Record("LoadOptimizedMethod(" + optimizedMethodName + ")");
        return 0;
    }

    int SetEmbeddedRuntime(byte calledRuntimeVersion, std::string path) override {
        standin::Record("SetEmbeddedRuntime(" + std::to_string(calledRuntimeVersion) + "," + path + ")");
        return 40 + calledRuntimeVersion;
    }

    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override {
        standin::Record("Receiver.DeployRuntime(" + standin::Bytes(messageByteArray, messageByteArrayLen) + "," + path +
                        "," + std::to_string(channel) + ")");
        return 70 + channel;
    }

private:
    std::vector<byte> response;
};

class StandinTransmitter final : public ITransmitter {
public:
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override {
        standin::Record("Transmitter.SendCommand(" + standin::Bytes(messageByteArray, messageByteArrayLen) + ")");
        return 0;
    }
    int ReadResponse(byte*, int32_t responseByteArrayLen) override {
        standin::Record("Transmitter.ReadResponse(" + std::to_string(responseByteArrayLen) + ")");
        return 0;
    }
    void SetTransportChannel(ITransport*) override { standin::Record("Transmitter.SetTransportChannel"); }
    int SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion,
                           std::string path) override {
        standin::Record("Transmitter.SetEmbeddedRuntime(" + std::to_string(callingRuntimeNumber) + "," +
                        std::to_string(calledRuntimeNumber) + "," + std::to_string(calledRuntimeVersion) + "," + path +
                        ")");
        return 0;
    }
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override {
        standin::Record("DeployRuntime(" + standin::Bytes(messageByteArray, messageByteArrayLen) + "," + path + "," +
                        std::to_string(channel) + ")");
        return 70 + channel;
    }
};

}  // namespace

// The operation mode travels as a 32-bit enumeration; its plain integer has the same calling convention.
#ifndef STANDIN_NO_CREATE_RECEIVER
VELTRIX_EXPORT IReceiver* CreateReceiver(int32_t mode) {
    standin::Record("CreateReceiver(" + std::to_string(mode) + ")");
#ifdef STANDIN_NULL_RECEIVER
    return nullptr;
#else
    // One per loaded library and never deleted by a caller, as a real runtime library keeps its receiver;
    // it goes when the library is unloaded.
    static StandinReceiver receiver;
    return &receiver;
#endif
}
#endif

#ifndef STANDIN_NO_CREATE_TRANSMITTER
VELTRIX_EXPORT ITransmitter* CreateTransmitter(int32_t mode) {
    standin::Record("CreateTransmitter(" + std::to_string(mode) + ")");
#ifdef STANDIN_NULL_TRANSMITTER
    return nullptr;
#else
    static StandinTransmitter transmitter;
    return &transmitter;
#endif
}
#endif
