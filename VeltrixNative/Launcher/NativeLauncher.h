// NativeLauncher.h: common base of the launchers: the operation mode and the initialised flag.
#pragma once
#include <string>

#include "Definitions/runtimeOperationMode.h"
#include "ILauncher.h"

namespace VeltrixNS::Native::Launcher {

class NativeLauncher : public VeltrixNS::Native::Interfaces::ILauncher {
public:
    explicit NativeLauncher(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode);
    ~NativeLauncher() override;

    bool IsInitialized() override;
    void SetInitialized() override;
    std::string GetRuntimeInfo() override;

protected:
    VeltrixNS::Native::Definitions::RuntimeOperationMode operationMode;
    bool initialized;
};

}  // namespace VeltrixNS::Native::Launcher
