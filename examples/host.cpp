// host.cpp: a C++ program calling Perl through the bridge with the host client (the README's example).
#include <iostream>

#include "HostClient/PerlClient.h"

using namespace VeltrixNS::HostClient;

int main(int argc, char** argv) {
    PerlClient perl(argc > 1 ? argv[1] : VELTRIX_PRODUCT_DIR);  // the product root holding Binaries/
    perl.LoadLibrary("List::Util");
    perl.LoadLibrary(VELTRIX_EXAMPLES_DIR "/lib/Example/Greeter.pm");
    std::cout << "sum: " << perl.CallFunction("List::Util::sum", {1, 2, 3}).as<int>() << "\n";
    Handle greeter = perl.CreateInstance("Example::Greeter", {"name", "Ada"});
    perl.CallMethod(greeter, "wave");  // Perl prints "Ada waves": the two outputs come out in call order
    std::cout << perl.CallMethod(greeter, "greet", {"C++"}).asString() << "\n";
    try {
        perl.CallMethod(greeter, "greet", {""});
    } catch (const PerlException& e) {
        std::cout << "Perl died: " << e.what();  // Perl's own text: "Nobody to greet [expected]\n"
    }
    return 0;
}
