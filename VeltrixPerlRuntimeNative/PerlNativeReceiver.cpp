// PerlNativeReceiver.cpp: picks the version-dispatching Perl launcher; all behaviour lives in NativeReceiver.
#include "PerlNativeReceiver.h"

#include <memory>

#include "Exception/Raise.h"
#include "PerlLauncher.h"

namespace VeltrixNS::Runtimes::Perl::Native::Receiver {

using VeltrixNS::Native::Definitions::RuntimeOperationMode;

PerlNativeReceiver::PerlNativeReceiver(RuntimeOperationMode operationMode) {
    this->operationMode = operationMode;
    // Without a role there is nothing to launch: no launcher is made.
    if (operationMode == RuntimeOperationMode::RuntimeNotInitialized) {
        VeltrixNS::Native::Exception::RaiseCore("032", "Runtime not initialized");
    }
    pLauncher = std::make_unique<PerlLauncher>(operationMode);
}

PerlNativeReceiver::~PerlNativeReceiver() = default;

}  // namespace VeltrixNS::Runtimes::Perl::Native::Receiver
