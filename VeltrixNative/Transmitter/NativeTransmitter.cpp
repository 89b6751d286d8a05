// NativeTransmitter.cpp: channel selection from the message header and forwarding to the chosen channel.
#include "Transmitter/NativeTransmitter.h"

#include "Definitions/channelTypes.h"
#include "Exception/VeltrixNativeException.h"
#include "Transport/TransportInMemory.h"
#include "Transport/TransportNetwork.h"

using VeltrixNS::Native::Definitions::ChannelType;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Interfaces::ITransport;
using VeltrixNS::Native::Transport::TransportInMemory;
using VeltrixNS::Native::Transport::TransportNetwork;

namespace VeltrixNS::Native::Transmitter {

namespace {

constexpr int32_t headerLength = 11;

// Every header read needs the whole header; a shorter (or absent) message is refused before any byte is read.
void RequireHeader(const byte* messageByteArray, int32_t messageByteArrayLen) {
    if (messageByteArray == nullptr || messageByteArrayLen < headerLength) {
        throw VeltrixNativeException("Message byte array length is less than " + std::to_string(headerLength),
                                     "Unknown");
    }
}

}  // namespace

NativeTransmitter::NativeTransmitter(RuntimeOperationMode opMode) : operationMode(opMode) {}

NativeTransmitter::~NativeTransmitter() = default;

int NativeTransmitter::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    RequireHeader(messageByteArray, messageByteArrayLen);
    InitializeTransportChannel(messageByteArray);
    return transportChannel->SendCommand(messageByteArray, messageByteArrayLen);
}

int NativeTransmitter::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (!transportChannel) {
        throw VeltrixNativeException(
            "Veltrix Core Exception: Exception code 013. \nNo channel selected: send a command before reading its "
            "response",
            "Unknown");
    }
    return transportChannel->ReadResponse(responseByteArray, responseByteArrayLen);
}

void NativeTransmitter::SetTransportChannel(ITransport* pTransport) {
    transportChannel.reset(pTransport);
}

int NativeTransmitter::SetEmbeddedRuntime(byte callingRuntimeNumber, byte calledRuntimeNumber,
                                          byte calledRuntimeVersion, std::string path) {
    transportChannel = CreateInMemoryTransportChannel();
    transportChannel->Initialize(callingRuntimeNumber, calledRuntimeNumber, calledRuntimeVersion);
    return transportChannel->SetEmbeddedRuntime(callingRuntimeNumber, calledRuntimeNumber, calledRuntimeVersion,
                                                std::move(path));
}

int NativeTransmitter::DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path,
                                     byte channel) {
    RequireHeader(messageByteArray, messageByteArrayLen);
    InitializeTransportChannel(messageByteArray);
    return transportChannel->DeployRuntime(messageByteArray, messageByteArrayLen, std::move(path), channel);
}

void NativeTransmitter::InitializeTransportChannel(byte* messageByteArray) {
    GetTransportChannel(messageByteArray);
    transportChannel->Initialize(messageByteArray[9], messageByteArray[0], messageByteArray[1]);
}

void NativeTransmitter::GetTransportChannel(byte* messageByteArray) {
    switch (static_cast<ChannelType>(messageByteArray[2])) {
        case ChannelType::InMemory: transportChannel = CreateInMemoryTransportChannel(); return;
        case ChannelType::TCP:
        case ChannelType::TCP_TLS: transportChannel = CreateNetworkChannel(messageByteArray); return;
    }
    throw VeltrixNativeException("Veltrix Core Exception: Exception code 023.", "Unknown");
}

std::shared_ptr<ITransport> NativeTransmitter::CreateNetworkChannel(byte* messageByteArray) {
    std::string ipAddress = std::to_string(messageByteArray[3]) + "." + std::to_string(messageByteArray[4]) + "." +
                            std::to_string(messageByteArray[5]) + "." + std::to_string(messageByteArray[6]);
    // Little-endian: byte 7 is the low byte.
    auto port = static_cast<unsigned short>(messageByteArray[7] + 256 * messageByteArray[8]);
    std::string key = ipAddress + ":" + std::to_string(port);

    // The key names address and port only: an existing transport serves both channel types.
    auto found = transportNetworkChannelsMap.find(key);
    if (found != transportNetworkChannelsMap.end()) return found->second;

    bool useTls = static_cast<ChannelType>(messageByteArray[2]) == ChannelType::TCP_TLS;
    auto transport = std::make_shared<TransportNetwork>(ipAddress, port, useTls);
    transportNetworkChannelsMap.emplace(key, transport);
    return transport;
}

std::shared_ptr<ITransport> NativeTransmitter::CreateInMemoryTransportChannel() {
    if (!inMemoryTransportChannel) inMemoryTransportChannel = std::make_shared<TransportInMemory>();
    return inMemoryTransportChannel;
}

}  // namespace VeltrixNS::Native::Transmitter
