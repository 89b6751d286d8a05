// StreamHost.cpp: a host whose output and Perl's must come out in call order and complete after a normal exit,
// whatever standard output is (the streams tests redirect it to a file and to a pipe).
#include <cstdio>
#include <iostream>

#include "HostClient/PerlClient.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    VeltrixNS::HostClient::PerlClient perl(VELTRIX_PRODUCT_DIR);
    perl.LoadLibrary(argv[1]);
    std::cout << "host 1\n";
    perl.CallFunction("main::say_line", {"perl 1"});
    std::printf("host 2\n");
    perl.CallFunction("main::say_line", {"perl 2"});
    std::cout << "host 3\n";
    return 0;
}
