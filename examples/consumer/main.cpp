// main.cpp: a program built against the installed host client; it names no product path.
#include <HostClient/PerlClient.h>

#include <cstdint>
#include <iostream>

using namespace VeltrixNS::HostClient;

int main() {
    try {
        PerlClient perl;
        std::cout << "product: " << PerlClient::DefaultProductDir().string() << "\n";
        std::cout << "sum: " << perl.CallFunction("List::Util::sum", {1, 2, 3}).as<int>() << "\n";
        std::cout << "perl: " << perl.GetPackageVariable("main", "$^V").asString() << "\n";
        perl.Define("main::twice", [](std::int64_t x) { return 2 * x; });  // a C++ function Perl calls
        std::cout << "host function: " << perl.Eval("twice(21)").as<int>() << "\n";
        perl.Eval("die qq{no luck\\n}");
    } catch (const PerlException& e) {
        std::cout << "died: " << e.message();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "consumer: " << e.what() << "\n";
    }
    return 1;
}
