// Perl540Launcher.h: the launcher that embeds the Perl 5.40 interpreter and runs the receiver module in it.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "Launcher/NativeLauncher.h"

// The interpreter type as perl.h names it; only the launcher's Perl sources see its definition.
struct interpreter;
typedef struct interpreter PerlInterpreter;

// The one interpreter of the process (perl.h's macros refer to it by this name).
extern PerlInterpreter* my_perl;
// Registers DynaLoader so that the receiver module can load compiled extensions.
void xs_init(PerlInterpreter* perl);

class Perl540Launcher : public VeltrixNS::Native::Launcher::NativeLauncher {
public:
    explicit Perl540Launcher(VeltrixNS::Native::Definitions::RuntimeOperationMode opMode);
    ~Perl540Launcher() override;

    void Initialize(byte calledRuntimeVersion) override;
    int SendCommand(byte* messageByteArray, int32_t messageByteArrayLen) override;
    int ReadResponse(byte* responseByteArray, int32_t responseByteArrayLen) override;
    int LoadOptimizedMethod(std::string optimizedMethodName) override;
    int SetPath(byte calledRuntimeVersion, std::string path) override;
    int DeployRuntime(byte* messageByteArray, int32_t messageByteArrayLen, std::string path, byte channel) override;
    std::string GetRuntimeName() override;
    std::string GetRuntimeInfo() override;

    std::string GetRuntimeInfoFromNativeLevel();
    std::string GetRuntimeInfoFromManagedRuntime();

private:
    int result;
    size_t len;
    std::vector<unsigned char> perlResponseByteArray;
    std::string methodToInvoke;
    std::string runtimeName_;
};
