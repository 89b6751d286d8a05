// PerlNativeTransmitter.h: the transmitter the Perl bridge hands out to Perl code calling other runtimes.
#pragma once
#include "Definitions/runtimeOperationMode.h"
#include "Transmitter/NativeTransmitter.h"

namespace VeltrixNS::Runtimes::Perl::Native::Transmitter {

class PerlNativeTransmitter : public VeltrixNS::Native::Transmitter::NativeTransmitter {
public:
    explicit PerlNativeTransmitter(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode);
    ~PerlNativeTransmitter() override;
};

}  // namespace VeltrixNS::Runtimes::Perl::Native::Transmitter
