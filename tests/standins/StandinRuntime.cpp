// StandinRuntime.cpp: another runtime's native library, as far as the in-memory transport can see it.
//
// Exports "CreateReceiver" and "CreateTransmitter" (plain names, operation-mode argument) returning
// singletons; the creations and the receiver's Initialize, SendCommand and ReadResponse are recorded:
//   receiver SendCommand  keeps the command with byte 10 set to 0 (Value) as its response, returns its length;
//                         a message whose byte 11 is 0xEE throws std::runtime_error("Stand-in failure [expected]")
//   receiver ReadResponse copies up to the buffer length, returns the number of bytes copied
//   receiver Initialize   returns 5 (a result callers must not rely on)
//   SetEmbeddedRuntime    returns 40 + version;  DeployRuntime returns 70 + channel
// StandinCallLog, StandinClearLog and StandinSetRecording read, clear and pause the call log.
// STANDIN_NO_CREATE_RECEIVER leaves "CreateReceiver" out.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "IReceiver.h"
#include "ITransmitter.h"

using VeltrixNS::Native::Interfaces::IReceiver;
using VeltrixNS::Native::Interfaces::ITransmitter;
using VeltrixNS::Native::Interfaces::ITransport;

namespace {

// Static, not on the heap: when the library is unloaded its log goes with it.
struct Log {
    std::mutex mutex;
    std::string text;
    std::string snapshot;  // what StandinCallLog() last handed out
    bool recording = true;
} calls;

void Record(const std::string& line) {
    std::lock_guard<std::mutex> lock(calls.mutex);
    if (calls.recording) calls.text += line + "\n";
}

// "11:00 02 00 ..." for a message of 11 bytes.
std::string Bytes(const byte* bytes, int32_t length) {
    std::string text = std::to_string(length) + ":";
    for (int32_t i = 0; bytes != nullptr && i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

class StandinReceiver final : public IReceiver {
public:
    void SetConfigSource(std::string) override {}
    int Initialize(byte calling, byte called, byte version) override {
        Record("Initialize(" + std::to_string(calling) + "," + std::to_string(called) + "," + std::to_string(version) +
               ")");
        return 5;
    }
    int SendCommand(byte* message, int32_t length) override {
        if (calls.recording) Record("SendCommand(" + Bytes(message, length) + ")");
        if (length > 11 && message[11] == 0xEE) throw std::runtime_error("Stand-in failure [expected]");
        response.assign(message, message + std::max<int32_t>(length, 0));
        if (response.size() > 10) response[10] = 0;
        return static_cast<int>(response.size());
    }
    int ReadResponse(byte* buffer, int32_t length) override {
        if (calls.recording) Record("ReadResponse(" + std::to_string(length) + ")");
        auto count = std::min<size_t>(response.size(), static_cast<size_t>(std::max<int32_t>(length, 0)));
        if (count > 0) std::memcpy(buffer, response.data(), count);
        return static_cast<int>(count);
    }
    void LogException(byte*, int32_t) override {}
    int LoadOptimizedMethod(std::string) override { return 0; }
    int SetEmbeddedRuntime(byte version, std::string) override { return 40 + version; }
    int DeployRuntime(byte*, int32_t, std::string, byte channel) override { return 70 + channel; }

private:
    std::vector<byte> response;
};

class StandinTransmitter final : public ITransmitter {
public:
    int SendCommand(byte*, int32_t) override { return 0; }
    int ReadResponse(byte*, int32_t) override { return 0; }
    void SetTransportChannel(ITransport*) override {}
    int SetEmbeddedRuntime(byte, byte, byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte channel) override { return 70 + channel; }
};

}  // namespace

// The operation mode travels as a 32-bit enumeration; its plain integer has the same calling convention.
// One receiver and one transmitter per loaded library, never deleted by a caller, as a real runtime library
// keeps them; they go when the library is unloaded.
#ifndef STANDIN_NO_CREATE_RECEIVER
VELTRIX_EXPORT IReceiver* CreateReceiver(int32_t mode) {
    Record("CreateReceiver(" + std::to_string(mode) + ")");
    static StandinReceiver receiver;
    return &receiver;
}
#endif

VELTRIX_EXPORT ITransmitter* CreateTransmitter(int32_t mode) {
    Record("CreateTransmitter(" + std::to_string(mode) + ")");
    static StandinTransmitter transmitter;
    return &transmitter;
}

VELTRIX_EXPORT const char* StandinCallLog() {
    std::lock_guard<std::mutex> lock(calls.mutex);
    calls.snapshot = calls.text;
    return calls.snapshot.c_str();
}

VELTRIX_EXPORT void StandinClearLog() {
    std::lock_guard<std::mutex> lock(calls.mutex);
    calls.text.clear();
}

VELTRIX_EXPORT void StandinSetRecording(int on) {
    calls.recording = on != 0;
}
