// TransportInMemory.cpp: loads the called and calling runtimes' native libraries and drives their receivers.
#include "Transport/TransportInMemory.h"

#include <iostream>

#include "Definitions/commandTypes.h"
#include "Definitions/runtimes.h"
#include "Exception/VeltrixNativeException.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"

namespace VeltrixNS::Native::Transport {

using VeltrixNS::Native::Definitions::CommandType;
using VeltrixNS::Native::Definitions::Runtime;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
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

[[noreturn]] void Raise(const char* code, const char* detail) {
    throw VeltrixNativeException(std::string("Veltrix Core Exception: Exception code ") + code + ". \n" + detail,
                                 "Unknown");
}

template <typename Map>
typename Map::mapped_type Lookup(const Map& map, int key) {
    auto found = map.find(key);
    return found == map.end() ? typename Map::mapped_type{} : found->second;
}

template <typename F>
F ResolveExport(HINSTANCE library, const char* name) {
    return reinterpret_cast<F>(GetProcAddress(library, name));
}

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
        libraryHandles[runtime] = nullptr;
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
    for (auto& [runtime, handle] : libraryHandles) {
        if (handle != nullptr) {
            FreeLibrary(handle);
            handle = nullptr;
        }
    }
}

int TransportInMemory::Initialize(byte callingRuntimeNumber, byte calledRuntimeNumber, byte calledRuntimeVersion) {
    // The bytes always name the current request, also when both libraries are already loaded, so that
    // SetEmbeddedRuntime and DeployRuntime reach the runtime the caller has just named.
    callingRuntimeNumber_ = callingRuntimeNumber;
    calledRuntimeNumber_ = calledRuntimeNumber;
    calledRuntimeVersion_ = calledRuntimeVersion;
    if (Lookup(libraryHandles, callingRuntimeNumber) != nullptr &&
        Lookup(libraryHandles, calledRuntimeNumber) != nullptr) {
        return 0;
    }

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

void TransportInMemory::ImportCalledLibrary() {
    if (Lookup(libraryHandles, calledRuntimeNumber_) == nullptr) {
        libraryHandles[calledRuntimeNumber_] =
            LibrariesFinder::loadLibrary(LibrariesFinder::getRuntimeLibraryPath(calledRuntimeNumber_), true, true);
    }
}

void TransportInMemory::ImportCallingLibrary() {
    if (Lookup(libraryHandles, callingRuntimeNumber_) == nullptr) {
        libraryHandles[callingRuntimeNumber_] =
            LibrariesFinder::loadLibrary(LibrariesFinder::getRuntimeLibraryPath(callingRuntimeNumber_), true, true);
    }
}

void TransportInMemory::CreateReceiverInCalledRuntime() {
    if (Lookup(receivers, calledRuntimeNumber_)) return;
    CreateReceiverInCalledRuntime_fn =
        ResolveExport<CreateReceiverFuncPointer>(libraryHandles[calledRuntimeNumber_], "CreateReceiver");
    if (CreateReceiverInCalledRuntime_fn == nullptr) Raise("014", "Reinstall Veltrix package");
    IReceiver* receiver = CreateReceiverInCalledRuntime_fn(RuntimeOperationMode::CalledRuntime);
    if (receiver == nullptr) Raise("015", "Reinstall Veltrix package");
    receiver->Initialize(callingRuntimeNumber_, calledRuntimeNumber_, calledRuntimeVersion_);
    receivers[calledRuntimeNumber_] = Borrowed(receiver);
}

void TransportInMemory::CreateTransmitterInCalledRuntime() {
    if (Lookup(transmitters, calledRuntimeNumber_)) return;
    CreateTransmitterInCalledRuntime_fn =
        ResolveExport<CreateTransmitterFuncPointer>(libraryHandles[calledRuntimeNumber_], "CreateTransmitter");
    if (CreateTransmitterInCalledRuntime_fn == nullptr) Raise("016", "Reinstall Veltrix");
    ITransmitter* transmitter = CreateTransmitterInCalledRuntime_fn(RuntimeOperationMode::CalledRuntime);
    transmitters[calledRuntimeNumber_] = transmitter == nullptr ? nullptr : Borrowed(transmitter);
}

void TransportInMemory::CreateReceiverInCallingRuntime() {
    if (Lookup(receivers, callingRuntimeNumber_)) return;
    CreateReceiverInCallingRuntime_fn =
        ResolveExport<CreateReceiverFuncPointer>(libraryHandles[callingRuntimeNumber_], "CreateReceiver");
    if (CreateReceiverInCallingRuntime_fn == nullptr) Raise("017", "Reinstall Veltrix package");
    IReceiver* receiver = CreateReceiverInCallingRuntime_fn(RuntimeOperationMode::CallingRuntime);
    if (receiver == nullptr) Raise("018", "Reinstall Veltrix package");
    receiver->Initialize(callingRuntimeNumber_, calledRuntimeNumber_, calledRuntimeVersion_);
    receivers[callingRuntimeNumber_] = Borrowed(receiver);
}

void TransportInMemory::CreateTransmitterInCallingRuntime() {
    if (Lookup(transmitters, callingRuntimeNumber_)) return;
    CreateTransmitterInCallingRuntime_fn =
        ResolveExport<CreateTransmitterFuncPointer>(libraryHandles[callingRuntimeNumber_], "CreateTransmitter");
    if (CreateTransmitterInCallingRuntime_fn == nullptr) Raise("016", "Reinstall Veltrix");
    ITransmitter* transmitter = CreateTransmitterInCallingRuntime_fn(RuntimeOperationMode::CallingRuntime);
    transmitters[callingRuntimeNumber_] = transmitter == nullptr ? nullptr : Borrowed(transmitter);
}

const std::shared_ptr<IReceiver>& TransportInMemory::StoredReceiver(int runtimeNumber) {
    auto found = receivers.find(runtimeNumber);
    if (found == receivers.end() || !found->second) {
        throw VeltrixNativeException(
            "Veltrix Core Exception: Exception code 010. \nNo receiver for runtime " + std::to_string(runtimeNumber) +
                " (" + RuntimeNameHandler::GetRuntimeName(runtimeNumber) + "): the channel was not initialized for it",
            "Unknown");
    }
    return found->second;
}

int TransportInMemory::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    if (messageByteArray == nullptr || messageByteArrayLen < 1) {
        Raise("010", "Empty message: no called runtime named");
    }
    currentReceiver = StoredReceiver(messageByteArray[0]);
    return currentReceiver->SendCommand(messageByteArray, messageByteArrayLen);
}

int TransportInMemory::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    if (!currentReceiver) Raise("010", "No receiver has taken a command: send a command before reading its response");
    return currentReceiver->ReadResponse(responseByteArray, responseByteArrayLen);
}

int TransportInMemory::SetEmbeddedRuntime(byte, byte, byte calledRuntimeVersion, std::string path) {
    return StoredReceiver(calledRuntimeNumber_)->SetEmbeddedRuntime(calledRuntimeVersion, std::move(path));
}

int TransportInMemory::DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path,
                                     byte channel) {
    ITransmitter* transmitter = Lookup(transmitters, calledRuntimeNumber_).get();
    if (transmitter == nullptr) {
        throw VeltrixNativeException("Veltrix Core Exception: Exception code 016. \nNo transmitter for runtime " +
                                         std::to_string(calledRuntimeNumber_) + " (" +
                                         RuntimeNameHandler::GetRuntimeName(calledRuntimeNumber_) + ")",
                                     "Unknown");
    }
    return transmitter->DeployRuntime(messageByteArray, messageByteArrayLen, std::move(path), channel);
}

void TransportInMemory::SendHeartBeatToCalledRuntime() {
    std::cout << "SendHeartBeatToCalledRuntime\n";
    byte message[13] = {calledRuntimeNumber_,
                        calledRuntimeVersion_,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        callingRuntimeNumber_,
                        static_cast<byte>(CommandType::HeartBeat),
                        0x31,
                        0x32};
    StoredReceiver(calledRuntimeNumber_)->SendCommand(message, 13);
}

void TransportInMemory::SendHeartBeatToCallingRuntime() {
    std::cout << "SendHeartBeatToCallingRuntime\n";
    byte message[13] = {callingRuntimeNumber_,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        calledRuntimeNumber_,
                        static_cast<byte>(CommandType::HeartBeat),
                        0x31,
                        0x32};
    StoredReceiver(callingRuntimeNumber_)->SendCommand(message, 13);
}

}  // namespace VeltrixNS::Native::Transport
