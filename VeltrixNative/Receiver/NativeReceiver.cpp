// NativeReceiver.cpp: forwarding to the launcher, one-time initialisation, and telemetry of exception responses.
#include "NativeReceiver.h"

#include <iostream>

#include "AppInsightLogger/AppInsightLogger.h"
#include "ConfigHandler/ConfigHandler.h"
#include "Definitions/commandHeader.h"
#include "Definitions/loggingLevel.h"
#include "Exception/Raise.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"

namespace VeltrixNS::Native::Receiver {

using VeltrixNS::Native::AppInsightLogger::AppInsightLogger;
using VeltrixNS::Native::ConfigHandler::ConfigHandler;
using VeltrixNS::Native::Definitions::CommandType;
using VeltrixNS::Native::Definitions::LoggingLevel;
using VeltrixNS::Native::Definitions::RuntimeOperationMode;
using VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler;

NativeReceiver::NativeReceiver()
    : callingRuntime_(255),
      calledRuntime_(255),
      runtimeInfoPrinted(false),
      pLauncher(nullptr),
      operationMode(RuntimeOperationMode::RuntimeNotInitialized) {}

NativeReceiver::~NativeReceiver() = default;

void NativeReceiver::SetConfigSource(std::string configPath) {
    ConfigHandler::SetConfigSource(configPath);
}

int NativeReceiver::Initialize(byte callingRuntime, byte calledRuntime, byte calledRuntimeVersion) {
    if (operationMode == RuntimeOperationMode::RuntimeNotInitialized) {
        Exception::RaiseCore("031", "Runtime not initialized");
    }
    std::lock_guard<std::mutex> guard(initializeMutex);
    // Only the first successful call has an effect.
    if (pLauncher->IsInitialized()) return 0;

    callingRuntime_ = callingRuntime;
    calledRuntime_ = calledRuntime;
    pLauncher->Initialize(calledRuntimeVersion);
    pLauncher->SetInitialized();

    if (operationMode != RuntimeOperationMode::CalledRuntime) return 0;

    AppInsightLogger::LogMessage("Native message", RuntimeNameHandler::GetRuntimeName(calledRuntime_) + " initialized",
                                 RuntimeNameHandler::GetRuntimeName(callingRuntime_));

    LoggingLevel level = ConfigHandler::GetLoggingLevel();
    if (!runtimeInfoPrinted && level != LoggingLevel::OFF) {
        std::cout << pLauncher->GetRuntimeInfo() << std::endl;
        runtimeInfoPrinted = true;
    }
    return 0;
}

int NativeReceiver::SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) {
    return pLauncher->SendCommand(messageByteArray, messageByteArrayLen);
}

int NativeReceiver::ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) {
    int result = pLauncher->ReadResponse(responseByteArray, responseByteArrayLen);
    // The caller's length decides, not the launcher's result: a buffer of at least a header whose
    // command type says Exception is reported.
    if (responseByteArray != nullptr &&
        responseByteArrayLen >= static_cast<int32_t>(Definitions::Limits::HeaderLength) &&
        Definitions::MessageCommandType(responseByteArray) == CommandType::Exception) {
        LogException(responseByteArray, responseByteArrayLen);
    }
    return result;
}

void NativeReceiver::LogException(byte* responseByteArray, int32_t responseByteArrayLen) {
    // One character per byte: printable ASCII as itself, everything else as a blank.
    std::string text;
    if (responseByteArray != nullptr && responseByteArrayLen > 0) {
        text.reserve(static_cast<size_t>(responseByteArrayLen));
        for (int32_t i = 0; i < responseByteArrayLen; ++i) {
            byte b = responseByteArray[i];
            text.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : ' ');
        }
    }
    AppInsightLogger::LogMessage(RuntimeNameHandler::GetRuntimeName(calledRuntime_) + " exception", text,
                                 RuntimeNameHandler::GetRuntimeName(callingRuntime_));
}

int NativeReceiver::LoadOptimizedMethod(std::string optimizedMethodName) {
    return pLauncher->LoadOptimizedMethod(optimizedMethodName);
}

int NativeReceiver::SetEmbeddedRuntime(byte calledRuntimeVersion, std::string path) {
    return pLauncher->SetPath(calledRuntimeVersion, path);
}

int NativeReceiver::DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) {
    return pLauncher->DeployRuntime(messageByteArray, messageByteArrayLen, path, channel);
}

}  // namespace VeltrixNS::Native::Receiver
