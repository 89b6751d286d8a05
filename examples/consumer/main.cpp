// main.cpp: a program built against the installed host client; it names no product path.
#include <HostClient/PerlClient.h>

#include <iostream>

using namespace VeltrixNS::HostClient;

int main() {
    try {
        PerlClient perl;
        std::cout << "product: " << PerlClient::DefaultProductDir().string() << "\n";
        std::cout << "sum: " << perl.CallFunction("List::Util::sum", {1, 2, 3}).as<int>() << "\n";
        std::cout << "perl: " << perl.GetPackageVariable("main", "$^V").asString() << "\n";
        perl.Eval("die qq{no luck\\n}");
    } catch (const PerlException& e) {
        std::cout << "died: " << e.message();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "consumer: " << e.what() << "\n";
    }
    return 1;
}
