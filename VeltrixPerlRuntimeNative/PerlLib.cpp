// PerlLib.cpp: the bridge's exported entry points and the process-wide role, receiver and transmitter behind them.
#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "Common/NativeExports.h"
#include "ConfigHandler/ConfigHandler.h"
#include "Exception/Raise.h"
#include "PerlNativeReceiver.h"
#include "PerlNativeTransmitter.h"

using VeltrixNS::Native::ConfigHandler::ConfigHandler;
using VeltrixNS::Runtimes::Perl::Native::Receiver::PerlNativeReceiver;
using VeltrixNS::Runtimes::Perl::Native::Transmitter::PerlNativeTransmitter;

namespace {

// Nothing here runs code at load time. The receiver and the transmitter are published with a
// release store only once fully built, so the unlocked reads (acquire) never see half an object.
// Both live until the process ends: nobody deletes them.
constinit std::atomic<RuntimeOperationMode> operationMode{RuntimeOperationMode::RuntimeNotInitialized};
constinit std::atomic<IReceiver*> receiver{nullptr};
constinit std::atomic<ITransmitter*> transmitter{nullptr};
constinit std::atomic<bool> firstCall{true};

// Creating the receiver, creating the transmitter and setting the role all happen under this lock,
// so the process gets one role and one object of each kind whichever entry point comes first.
std::shared_mutex createReceiverMutex;
// Serialises the start-up step; it is always taken before createReceiverMutex, never after.
std::shared_mutex setOperationModeForTransmitterMutex;

// The text of the most recent failure of any converting entry point, on whatever thread it happened (also one
// that has ended since). Written and read under its lock; each reader gets a copy in a buffer of its own
// thread, so the pointer GetNativeError hands out stays valid while other threads fail.
std::mutex errorMessageMutex;
constinit std::string errorMessage = "Undefined error";

bool modeIsSet() {
    return operationMode.load(std::memory_order_acquire) != RuntimeOperationMode::RuntimeNotInitialized;
}

// The double-checked creation shared by the receiver and the transmitter: the first caller to find the
// role unset fixes it, and the object is built with the process's role, not necessarily opMode.
template <typename Interface, typename Make>
Interface* createOnce(std::atomic<Interface*>& slot, RuntimeOperationMode opMode, Make make) {
    Interface* existing = slot.load(std::memory_order_acquire);
    if (modeIsSet() && existing != nullptr) return existing;

    std::unique_lock<std::shared_mutex> lock(createReceiverMutex);
    existing = slot.load(std::memory_order_acquire);
    if (modeIsSet() && existing != nullptr) return existing;
    if (!modeIsSet()) operationMode.store(opMode, std::memory_order_release);
    if (existing == nullptr) {
        // A throwing constructor leaves the slot empty; the role stored above stays.
        existing = make(operationMode.load(std::memory_order_acquire));
        slot.store(existing, std::memory_order_release);
    }
    return existing;
}

ITransmitter* makeTransmitter(RuntimeOperationMode mode) {
    return new PerlNativeTransmitter(mode);
}

IReceiver* makeReceiver(RuntimeOperationMode mode) {
    return new PerlNativeReceiver(mode);
}

// Runs an entry point's body; a failure becomes failureResult and its text is kept for GetNativeError.
template <typename Body>
int convertFailure(int failureResult, Body body) {
    try {
        return body();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> guard(errorMessageMutex);
        errorMessage = e.what();
        return failureResult;
    }
}

ITransmitter* currentTransmitter() {
    ITransmitter* current = transmitter.load(std::memory_order_acquire);
    if (current == nullptr) {
        VeltrixNS::Native::Exception::Raise("No transmitter exists yet: send a command before reading its response");
    }
    return current;
}

// Start-up creation: takes the calling role if none is set yet and makes sure a transmitter exists.
bool SetOperationModeForTransmitter() {
    std::unique_lock<std::shared_mutex> lock(setOperationModeForTransmitterMutex);
    createOnce(transmitter, RuntimeOperationMode::CallingRuntime, makeTransmitter);
    return false;
}

// The first outgoing command of the process runs the start-up creation; a failed one is retried next time.
void AtStartUp() {
    if (firstCall.load(std::memory_order_acquire)) {
        SetOperationModeForTransmitter();
        firstCall.store(false, std::memory_order_release);
    }
}

int SetConfigSource(std::string configSource) {
    return ConfigHandler::SetConfigSource(configSource);
}

int SetWorkingDirectoryPath(std::string workingDirectoryPath) {
    return ConfigHandler::SetWorkingDirectory(workingDirectoryPath);
}

}  // namespace

IReceiver* CreateReceiver(RuntimeOperationMode opMode) {
    return createOnce(receiver, opMode, makeReceiver);
}

IReceiver* GetReceiver() {
    return receiver.load(std::memory_order_acquire);
}

int SetConfigSource(const char* source) {
    // A null source makes the string constructor raise, inside the handler.
    return convertFailure(-6, [&] { return SetConfigSource(std::string(source)); });
}

int SetWorkingDirectory(const char* path) {
    return convertFailure(-7, [&] { return SetWorkingDirectoryPath(std::string(path)); });
}

// Valid until the same thread calls GetNativeError again.
const char* GetNativeError() {
    thread_local std::string copy;
    std::lock_guard<std::mutex> guard(errorMessageMutex);
    copy = errorMessage;
    return copy.c_str();
}

ITransmitter* CreateTransmitter(RuntimeOperationMode opMode) {
    return createOnce(transmitter, opMode, makeTransmitter);
}

ITransmitter* GetTransmitter() {
    return transmitter.load(std::memory_order_acquire);
}

int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    return convertFailure(-2, [&] {
        AtStartUp();
        return currentTransmitter()->SendCommand(messageByteArray, messageByteArrayLen);
    });
}

// No start-up step: a response is read only after a command, or after CreateTransmitter.
int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    return convertFailure(-3,
                          [&] { return currentTransmitter()->ReadResponse(responseByteArray, responseByteArrayLen); });
}

int SetEmbeddedRuntime(byte callingRuntimeNumer, byte calledRuntimeNumber, byte calledRuntimeVersion,
                       const char* path) {
    return convertFailure(-4, [&] {
        AtStartUp();
        std::string pathText(path);
        return currentTransmitter()->SetEmbeddedRuntime(callingRuntimeNumer, calledRuntimeNumber, calledRuntimeVersion,
                                                        pathText);
    });
}

int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, const char* path, byte channel) {
    return convertFailure(-5, [&] {
        AtStartUp();
        std::string pathText(path);
        return currentTransmitter()->DeployRuntime(messageByteArray, messageByteArrayLen, pathText, channel);
    });
}
