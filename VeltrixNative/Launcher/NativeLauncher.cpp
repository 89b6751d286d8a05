// NativeLauncher.cpp: the state every launcher shares.
#include "NativeLauncher.h"

namespace VeltrixNS::Native::Launcher {

NativeLauncher::NativeLauncher(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode)
    : operationMode(opMode), initialized(false) {}

NativeLauncher::~NativeLauncher() = default;

bool NativeLauncher::IsInitialized() {
    return initialized;
}

// Set once by the caller after a successful Initialize; never cleared.
void NativeLauncher::SetInitialized() {
    initialized = true;
}

std::string NativeLauncher::GetRuntimeInfo() {
    return "";
}

}  // namespace VeltrixNS::Native::Launcher
