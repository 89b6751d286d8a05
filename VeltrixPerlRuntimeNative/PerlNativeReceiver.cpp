// PerlNativeReceiver.cpp: picks the version-dispatching Perl launcher; all behaviour lives in NativeReceiver.
#include "PerlNativeReceiver.h"

#include <memory>

#include "Exception/VeltrixNativeException.h"
#include "PerlLauncher.h"

namespace VeltrixNS::Runtimes::Perl::Native::Receiver {

using VeltrixNS::Native::Definitions::RuntimeOperationMode;

PerlNativeReceiver::PerlNativeReceiver(RuntimeOperationMode operationMode) {
    this->operationMode = operationMode;
    // Without a role there is nothing to launch: no launcher is made.
    if (operationMode == RuntimeOperationMode::RuntimeNotInitialized) {
        throw VeltrixNativeException("Veltrix Core Exception: Exception code 032. \nRuntime not initialized",
                                     "Unknown");
    }
    pLauncher = std::make_unique<PerlLauncher>(operationMode);
}

PerlNativeReceiver::~PerlNativeReceiver() = default;

}  // namespace VeltrixNS::Runtimes::Perl::Native::Receiver
