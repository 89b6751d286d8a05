// StandinTcpClient.cpp: the TCP (or, with STANDIN_TLS, the TLS) client library, as the network transport sees it.
//
// Exports "CreateTransportChannel" returning a new in-process channel that records every call, numbered
// in creation order ("#1 Initialize(4,0,2)"), and echoes each command with byte 10 set to 0 (Value).
// A message whose byte 11 is 0xEE makes SendCommand throw std::runtime_error("Stand-in failure [expected]").
// StandinNullChannels(n) makes the next n creations return null. Variants: STANDIN_NO_CREATE_CHANNEL,
// STANDIN_NULL_CHANNEL (every creation returns null).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "ITransport.h"
#include "StandinLog.h"

using VeltrixNS::Native::Interfaces::ITransport;

namespace {

#ifdef STANDIN_TLS
const std::string kind = "tls";
#else
const std::string kind = "tcp";
#endif

std::atomic<int> channelsMade{0};
std::atomic<int> nullChannelsToGo{0};

class StandinChannel final : public ITransport {
public:
    StandinChannel() : tag("#" + std::to_string(++channelsMade) + " ") {}
    ~StandinChannel() override { standin::Record(tag + "Destroyed"); }

    int Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) override {
        standin::Record(tag + "Initialize(" + std::to_string(callingRuntimeNumber) + "," +
                        std::to_string(calledRuntimeNumber) + "," + std::to_string(calledRuntimeVersion) + ")");
        return 5;
    }

    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override {
        if (standin::Recording()) {
            standin::Record(tag + "SendCommand(" + standin::Bytes(messageByteArray, messageByteArrayLen) + ")");
        }
        if (messageByteArrayLen > 11 && messageByteArray[11] == 0xEE) {
            throw std::runtime_error("Stand-in failure [expected]");
        }
        response.assign(messageByteArray, messageByteArray + std::max<int32_t>(messageByteArrayLen, 0));
        if (response.size() > 10) response[10] = 0;
        return static_cast<int>(response.size());
    }

    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override {
        if (standin::Recording()) standin::Record(tag + "ReadResponse(" + std::to_string(responseByteArrayLen) + ")");
        auto count = std::min<size_t>(response.size(), static_cast<size_t>(std::max<int32_t>(responseByteArrayLen, 0)));
        if (count > 0) std::memcpy(responseByteArray, response.data(), count);
        return static_cast<int>(count);
    }

    int SetEmbeddedRuntime(byte, byte, byte, std::string path) override {
        standin::Record(tag + "SetEmbeddedRuntime(" + path + ")");
        return 0;
    }

    int DeployRuntime(byte*, int32_t, std::string path, byte) override {
        standin::Record(tag + "DeployRuntime(" + path + ")");
        return 0;
    }

private:
    std::string tag;
    std::vector<byte> response;
};

}  // namespace

VELTRIX_EXPORT void StandinNullChannels(int count) {
    nullChannelsToGo = count;
}

#ifndef STANDIN_NO_CREATE_CHANNEL
// A C++ string in a C-linkage signature: both sides are built by one toolchain, as the product's are.
VELTRIX_EXPORT ITransport* CreateTransportChannel(std::string ipAddress, unsigned short port) {
    standin::Record(kind + " CreateTransportChannel(" + ipAddress + "," + std::to_string(port) + ")");
#ifdef STANDIN_NULL_CHANNEL
    return nullptr;
#else
    if (nullChannelsToGo > 0) {
        --nullChannelsToGo;
        return nullptr;
    }
    return new StandinChannel;  // owned by the caller, deleted through the virtual destructor
#endif
}
#endif
