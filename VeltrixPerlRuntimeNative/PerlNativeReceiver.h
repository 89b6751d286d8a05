// PerlNativeReceiver.h: the receiver the Perl bridge hands to runtimes that call Perl.
#pragma once
#include "Definitions/runtimeOperationMode.h"
#include "Receiver/NativeReceiver.h"

namespace VeltrixNS::Runtimes::Perl::Native::Receiver {

class PerlNativeReceiver : public VeltrixNS::Native::Receiver::NativeReceiver {
public:
    explicit PerlNativeReceiver(VeltrixNS::Native::Definitions::RuntimeOperationMode operationMode);
    ~PerlNativeReceiver() override;
};

}  // namespace VeltrixNS::Runtimes::Perl::Native::Receiver
