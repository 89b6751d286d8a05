// StandInReceiver.cpp: a stand-in for the Perl bridge that veltrix-server loads in tests: CreateReceiver hands
// out a receiver that echoes commands, and fails, sleeps or reports its initialisation when asked to.
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "IReceiver.h"

namespace {

using VeltrixNS::Native::Interfaces::IReceiver;

class EchoReceiver final : public IReceiver {
public:
    void SetConfigSource(std::string) override {}
    int Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) override {
        initializeCalls_.push_back(std::to_string(callingRuntime) + "," + std::to_string(calledRuntime) + "," +
                                   std::to_string(calledRuntimeVersion));
        return 0;
    }
    // Body "die:TEXT" throws TEXT, "sleep:MS" answers after MS milliseconds, "init" answers with the
    // Initialize calls seen so far; anything else is echoed after a response header.
    int SendCommand(byte* message, int32_t length) override {
        if (length < 11) throw std::runtime_error("stand-in receiver: message too short");
        std::string body(reinterpret_cast<const char*>(message) + 11, static_cast<std::size_t>(length - 11));
        if (body.rfind("die:", 0) == 0) throw std::runtime_error(body.substr(4));
        if (body.rfind("sleep:", 0) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(body.substr(6))));
        if (body == "init") {
            body.clear();
            for (const auto& call : initializeCalls_) body += call + ";";
        }
        response_.assign(11, 0);
        response_[0] = message[9];
        response_[9] = message[0];
        response_[10] = message[10];
        response_.insert(response_.end(), body.begin(), body.end());
        return static_cast<int>(response_.size());
    }
    int ReadResponse(byte* buffer, int32_t length) override {
        std::size_t count = std::min(response_.size(), static_cast<std::size_t>(length));
        std::memcpy(buffer, response_.data(), count);
        return static_cast<int>(count);
    }
    void LogException(byte*, int32_t) override {}
    int LoadOptimizedMethod(std::string) override { return 0; }
    int SetEmbeddedRuntime(byte, std::string) override { return 0; }
    int DeployRuntime(byte*, int32_t, std::string, byte) override { return 0; }

private:
    std::vector<byte> response_;
    std::vector<std::string> initializeCalls_;
};

}  // namespace

VELTRIX_EXPORT IReceiver* CreateReceiver(int operationMode) {
    if (operationMode != 1) throw std::runtime_error("stand-in receiver: expected the called-runtime mode");
    static EchoReceiver receiver;
    return &receiver;
}
