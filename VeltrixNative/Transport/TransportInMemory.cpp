// TransportInMemory.cpp: loads the called and calling runtimes' native libraries and drives their receivers.
#include "Transport/TransportInMemory.h"

#include <iostream>

#include "Definitions/commandHeader.h"
#include "Definitions/runtimes.h"
#include "Exception/Raise.h"
#include "Exception/VeltrixNativeException.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"

namespace VeltrixNS::Native::Transport {

namespace HeaderOffset = VeltrixNS::Native::Definitions::HeaderOffset;
using VeltrixNS::Native::Definitions::HeartBeatMessage;
using VeltrixNS::Native::Definitions::Runtime;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::Exception::RaiseCore;
using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
using VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler;

namespace {

constexpr byte noRuntime = 100;
constexpr int runtimesCount = static_cast<int>(Runtime::RuntimesCount);

// Receivers and transmitters handed out by another runtime's library are that library's process-wide
// singletons: they belong to it and are never deleted here, so they are held without a deleter.
template <typename T>
std::shared_ptr<T> Borrowed(T* object) {
    return std::shared_ptr<T>(object, [](T*) {});
}

template <typename Map>
typename Map::mapped_type Lookup(const Map& map, int key) {
    auto found = map.find(key);
    return found == map.end() ? typename Map::mapped_type{} : found->second;
}

const char* const reinstall = "Reinstall Veltrix package";

}  // namespace

TransportInMemory::TransportInMemory()
    : callingRuntimeNumber_(noRuntime),
      calledRuntimeNumber_(noRuntime),
      calledRuntimeVersion_(noRuntime),
      numberOfReceivers(0),
      numberOfTransmitters(0),
      CreateReceiverInCallingRuntime_fn(nullptr),
      CreateReceiverInCalledRuntime_fn(nullptr),
      CreateTransmitterInCallingRuntime_fn(nullptr),
      CreateTransmitterInCalledRuntime_fn(nullptr) {
    for (int runtime = 0; runtime < runtimesCount; ++runtime) {
        libraryHandles[runtime];
        receivers[runtime] = nullptr;
        transmitters[runtime] = nullptr;
    }
}

TransportInMemory::~TransportInMemory() {
    // Objects from a library go before the library: nothing may run their code once it is unloaded.
    currentReceiver.reset();
    receiversForThreads.clear();
    transmittersForThreads.clear();
    receivers.clear();
    transmitters.clear();
    libraryHandles.clear();
}

int TransportInMemory::Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) {
    // The bytes always name the current request, also when both libraries are already loaded, so that
    // SetEmbeddedRuntime and DeployRuntime reach the runtime the caller has just named.
    callingRuntimeNumber_ = callingRuntimeNumber;
    calledRuntimeNumber_ = calledRuntimeNumber;
    calledRuntimeVersion_ = calledRuntimeVersion;
    if (LibraryLoaded(callingRuntimeNumber) && LibraryLoaded(calledRuntimeNumber)) return 0;

    ImportCalledLibrary();
    CreateReceiverInCalledRuntime();
    CreateTransmitterInCalledRuntime();

    // The calling side is optional: its failure has been recorded by the exception itself.
    try {
        ImportCallingLibrary();
        CreateReceiverInCallingRuntime();
        CreateTransmitterInCallingRuntime();
    } catch (const VeltrixNativeException&) {
    }
    return 0;
}

bool TransportInMemory::LibraryLoaded(byte runtimeNumber) const {
    auto found = libraryHandles.find(runtimeNumber);
    return found != libraryHandles.end() && found->second.IsLoaded();
}

// A failed load raises code 001, so an unloaded library is never stored.
void TransportInMemory::ImportLibrary(byte runtimeNumber) {
    if (!LibraryLoaded(runtimeNumber)) {
        libraryHandles[runtimeNumber] =
            LibrariesFinder::openLibrary(LibrariesFinder::getRuntimeLibraryPath(runtimeNumber), true);
    }
}

void TransportInMemory::ImportCalledLibrary() {
    ImportLibrary(calledRuntimeNumber_);
}

void TransportInMemory::ImportCallingLibrary() {
    ImportLibrary(callingRuntimeNumber_);
}

void TransportInMemory::CreateReceiverInCalledRuntime() {
    if (Lookup(receivers, calledRuntimeNumber_)) return;
    CreateReceiverInCalledRuntime_fn =
        libraryHandles[calledRuntimeNumber_].Get<CreateReceiverFuncPointer>("CreateReceiver");
    if (CreateReceiverInCalledRuntime_fn == nullptr) RaiseCore("014", reinstall);
    IReceiver* receiver = CreateReceiverInCalledRuntime_fn(RuntimeOperationMode::CalledRuntime);
    if (receiver == nullptr) RaiseCore("015", reinstall);
    receiver->Initialize(callingRuntimeNumber_, calledRuntimeNumber_, calledRuntimeVersion_);
    receivers[calledRuntimeNumber_] = Borrowed(receiver);
}

void TransportInMemory::CreateTransmitterInCalledRuntime() {
    if (Lookup(transmitters, calledRuntimeNumber_)) return;
    CreateTransmitterInCalledRuntime_fn =
        libraryHandles[calledRuntimeNumber_].Get<CreateTransmitterFuncPointer>("CreateTransmitter");
    if (CreateTransmitterInCalledRuntime_fn == nullptr) RaiseCore("016", "Reinstall Veltrix");
    ITransmitter* transmitter = CreateTransmitterInCalledRuntime_fn(RuntimeOperationMode::CalledRuntime);
    transmitters[calledRuntimeNumber_] = transmitter == nullptr ? nullptr : Borrowed(transmitter);
}

void TransportInMemory::CreateReceiverInCallingRuntime() {
    if (Lookup(receivers, callingRuntimeNumber_)) return;
    CreateReceiverInCallingRuntime_fn =
        libraryHandles[callingRuntimeNumber_].Get<CreateReceiverFuncPointer>("CreateReceiver");
    if (CreateReceiverInCallingRuntime_fn == nullptr) RaiseCore("017", reinstall);
    IReceiver* receiver = CreateReceiverInCallingRuntime_fn(RuntimeOperationMode::CallingRuntime);
    if (receiver == nullptr) RaiseCore("018", reinstall);
    receiver->Initialize(callingRuntimeNumber_, calledRuntimeNumber_, calledRuntimeVersion_);
    receivers[callingRuntimeNumber_] = Borrowed(receiver);
}

void TransportInMemory::CreateTransmitterInCallingRuntime() {
    if (Lookup(transmitters, callingRuntimeNumber_)) return;
    CreateTransmitterInCallingRuntime_fn =
        libraryHandles[callingRuntimeNumber_].Get<CreateTransmitterFuncPointer>("CreateTransmitter");
    if (CreateTransmitterInCallingRuntime_fn == nullptr) RaiseCore("016", "Reinstall Veltrix");
    ITransmitter* transmitter = CreateTransmitterInCallingRuntime_fn(RuntimeOperationMode::CallingRuntime);
    transmitters[callingRuntimeNumber_] = transmitter == nullptr ? nullptr : Borrowed(transmitter);
}

const std::shared_ptr<IReceiver>& TransportInMemory::StoredReceiver(int runtimeNumber) {
    auto found = receivers.find(runtimeNumber);
    if (found == receivers.end() || !found->second) {
        RaiseCore("010", "No receiver for runtime " + std::to_string(runtimeNumber) + " (" +
                             RuntimeNameHandler::GetRuntimeName(runtimeNumber) +
                             "): the channel was not initialized for it");
    }
    return found->second;
}

int TransportInMemory::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (messageByteArray == nullptr || messageByteArrayLen <= static_cast<int32_t>(HeaderOffset::CalledRuntime)) {
        RaiseCore("010", "Empty message: no called runtime named");
    }
    std::shared_ptr<IReceiver> receiver = StoredReceiver(messageByteArray[HeaderOffset::CalledRuntime]);
    currentReceiver = receiver;
    int result = receiver->SendCommand(messageByteArray, messageByteArrayLen);
    // A command sent while this one ran (a callback into the calling runtime) may have picked another receiver.
    currentReceiver = std::move(receiver);
    return result;
}

int TransportInMemory::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (!currentReceiver) {
        RaiseCore("010", "No receiver has taken a command: send a command before reading its response");
    }
    return currentReceiver->ReadResponse(responseByteArray, responseByteArrayLen);
}

int TransportInMemory::SetEmbeddedRuntime(byte, byte, byte calledRuntimeVersion, std::string path) {
    return StoredReceiver(calledRuntimeNumber_)->SetEmbeddedRuntime(calledRuntimeVersion, std::move(path));
}

int TransportInMemory::DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path,
                                     byte channel) {
    ITransmitter* transmitter = Lookup(transmitters, calledRuntimeNumber_).get();
    if (transmitter == nullptr) {
        RaiseCore("016", "No transmitter for runtime " + std::to_string(calledRuntimeNumber_) + " (" +
                             RuntimeNameHandler::GetRuntimeName(calledRuntimeNumber_) + ")");
    }
    return transmitter->DeployRuntime(messageByteArray, messageByteArrayLen, std::move(path), channel);
}

void TransportInMemory::SendHeartBeatToCalledRuntime() {
    std::cout << "SendHeartBeatToCalledRuntime\n";
    auto message = HeartBeatMessage(calledRuntimeNumber_, calledRuntimeVersion_, callingRuntimeNumber_);
    StoredReceiver(calledRuntimeNumber_)->SendCommand(message.data(), static_cast<int32_t>(message.size()));
}

// Towards the calling runtime the version byte is 0.
void TransportInMemory::SendHeartBeatToCallingRuntime() {
    std::cout << "SendHeartBeatToCallingRuntime\n";
    auto message = HeartBeatMessage(callingRuntimeNumber_, 0, calledRuntimeNumber_);
    StoredReceiver(callingRuntimeNumber_)->SendCommand(message.data(), static_cast<int32_t>(message.size()));
}

}  // namespace VeltrixNS::Native::Transport
