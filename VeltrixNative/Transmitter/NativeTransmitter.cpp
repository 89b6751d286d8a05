// NativeTransmitter.cpp: channel selection from the message header and forwarding to the chosen channel.
#include "Transmitter/NativeTransmitter.h"

#include "Definitions/channelTypes.h"
#include "Definitions/commandHeader.h"
#include "Exception/Raise.h"
#include "Transport/TransportInMemory.h"
#include "Transport/TransportNetwork.h"

using VeltrixNS::Native::Definitions::ChannelType;
using VeltrixNS::Native::Definitions::CommandHeader;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Exception::Raise;
using VeltrixNS::Native::Exception::RaiseCore;
using VeltrixNS::Native::Interfaces::ITransport;
using VeltrixNS::Native::Transport::TransportInMemory;
using VeltrixNS::Native::Transport::TransportNetwork;

namespace VeltrixNS::Native::Transmitter {

namespace {

constexpr auto headerLength = static_cast<int32_t>(VeltrixNS::Native::Definitions::Limits::HeaderLength);

// Every header read needs the whole header; a shorter (or absent) message is refused before any byte is read.
void RequireHeader(const byte* messageByteArray, int32_t messageByteArrayLen) {
    if (messageByteArray == nullptr || messageByteArrayLen < headerLength) {
        Raise("Message byte array length is less than " + std::to_string(headerLength));
    }
}

}  // namespace

NativeTransmitter::NativeTransmitter(RuntimeOperationMode opMode) : operationMode(opMode) {}

NativeTransmitter::~NativeTransmitter() = default;

int NativeTransmitter::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    RequireHeader(messageByteArray, messageByteArrayLen);
    InitializeTransportChannel(messageByteArray);
    std::shared_ptr<ITransport> channel = transportChannel;
    int result = channel->SendCommand(messageByteArray, messageByteArrayLen);
    // A command sent while this one ran (a callback into the calling runtime) may have picked another channel.
    transportChannel = std::move(channel);
    return result;
}

int NativeTransmitter::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (!transportChannel) {
        RaiseCore("013", "No channel selected: send a command before reading its response");
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
    CommandHeader header = CommandHeader::Read(messageByteArray);
    transportChannel->Initialize(header.callingRuntime, header.calledRuntime, header.calledRuntimeVersion);
}

void NativeTransmitter::GetTransportChannel(byte* messageByteArray) {
    CommandHeader header = CommandHeader::Read(messageByteArray);
    switch (static_cast<ChannelType>(header.channelType)) {
        case ChannelType::InMemory: transportChannel = CreateInMemoryTransportChannel(); return;
        case ChannelType::TCP:
        case ChannelType::TCP_TLS: transportChannel = CreateNetworkChannel(messageByteArray); return;
    }
    RaiseCore("023", "", Exception::PointOnly);
}

std::shared_ptr<ITransport> NativeTransmitter::CreateNetworkChannel(byte* messageByteArray) {
    CommandHeader header = CommandHeader::Read(messageByteArray);
    std::string ipAddress = header.AddressText();
    std::string key = ipAddress + ":" + std::to_string(header.port);

    // The key names address and port only: an existing transport serves both channel types.
    auto found = transportNetworkChannelsMap.find(key);
    if (found != transportNetworkChannelsMap.end()) return found->second;

    bool useTls = static_cast<ChannelType>(header.channelType) == ChannelType::TCP_TLS;
    auto transport = std::make_shared<TransportNetwork>(ipAddress, header.port, useTls);
    transportNetworkChannelsMap.emplace(key, transport);
    return transport;
}

std::shared_ptr<ITransport> NativeTransmitter::CreateInMemoryTransportChannel() {
    if (!inMemoryTransportChannel) inMemoryTransportChannel = std::make_shared<TransportInMemory>();
    return inMemoryTransportChannel;
}

}  // namespace VeltrixNS::Native::Transmitter
