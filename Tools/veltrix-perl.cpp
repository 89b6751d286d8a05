// veltrix-perl.cpp: calls Perl functions, script subs and object methods from the command line.
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostClient/PerlClient.h"

namespace fs = std::filesystem;
using namespace VeltrixNS::HostClient;

namespace {

const char* const usage =
    "usage: veltrix-perl [options] call FUNCTION [ARG...]\n"
    "       veltrix-perl [options] script FILE FUNCTION [ARG...]\n"
    "       veltrix-perl [options] new CLASS [ARG...] [--then METHOD [ARG...]]... [--field FIELD]\n"
    "       veltrix-perl [options] heartbeat\n"
    "       veltrix-perl --version\n"
    "\n"
    "  call       calls a function by its full name (List::Util::sum); its package's module is loaded first\n"
    "  script     runs a Perl file once, then calls FUNCTION from it (main:: unless qualified)\n"
    "  new        creates CLASS->new(ARG...), calls each METHOD on the result of the step before, and prints\n"
    "             the last result or FIELD of it; all of it runs in Perl as one command\n"
    "\n"
    "options:\n"
    "  --product DIR  product tree holding the bridge (default: $VELTRIX_PRODUCT, else the tree installed\n"
    "                 with this program)\n"
    "  -I DIR         adds DIR to Perl's module search path (repeatable)\n"
    "  -M MODULE      loads MODULE first (repeatable)\n"
    "  --list         calls in list context and prints every returned value\n"
    "  --by-value     prints returned arrays and hashes instead of their handles\n"
    "\n"
    "ARG: an integer or a decimal number goes as a number, anything else as text; force a type with\n"
    "str:TEXT, int:N, num:X, bool:true|false, null:\n"
    "\n"
    "Exit status: 0, or 1 when Perl dies or the bridge fails, 2 for a usage error, N when Perl calls exit(N).\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The whole of `text` as a T, or nothing (not a number, or out of T's range).
template <typename T>
std::optional<T> number(std::string_view text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

Value parseArgument(const std::string& a) {
    std::string_view rest = std::string_view(a).substr(std::min<size_t>(4, a.size()));
    if (a.rfind("str:", 0) == 0) return Value(rest);
    if (a.rfind("int:", 0) == 0) {
        if (auto v = number<int64_t>(rest)) return Value(*v);
        if (auto u = number<uint64_t>(rest)) return Value(*u);
        throw UsageError("bad argument " + a + ": int: takes a whole number from " + std::to_string(INT64_MIN) +
                         " to " + std::to_string(UINT64_MAX));
    }
    if (a.rfind("num:", 0) == 0) {
        if (auto d = number<double>(rest)) return Value(*d);
        throw UsageError("bad argument " + a + ": num: takes a decimal number such as 2.5 or -1e3");
    }
    if (a == "bool:true" || a == "bool:false") return Value(a == "bool:true");
    if (a == "null:") return Value();
    if (a.rfind("bool:", 0) == 0 || a.rfind("null:", 0) == 0)
        throw UsageError("bad argument " + a + ": write bool:true, bool:false or null:");
    // Untyped: a whole number in range or a decimal number goes as a number, anything else as text.
    if (auto v = number<int64_t>(a)) return Value(*v);
    if (auto d = number<double>(a); d && a.find_first_of(".eE") != std::string::npos) return Value(*d);
    return Value(a);
}

// GCC 12 takes the variant inside a moved Value for uninitialised here (a false positive of
// -Wmaybe-uninitialized).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
std::vector<Argument> parseArguments(std::vector<std::string>::const_iterator begin,
                                     std::vector<std::string>::const_iterator end) {
    std::vector<Argument> out;
    for (auto it = begin; it != end; ++it) out.emplace_back(parseArgument(*it));
    return out;
}
#pragma GCC diagnostic pop

// Loads the module a qualified name lives in, unless there is no such module file (the package may come
// from a script or from Perl itself).
void loadPackageOf(PerlClient& perl, const std::string& package) {
    if (package.empty() || package == "main" || package == "CORE") return;
    try {
        perl.LoadLibrary(package);
    } catch (const PerlException& e) {
        if (e.message().rfind("Can't locate ", 0) != 0) throw;
    }
}

std::string packageOf(const std::string& fullName) {
    size_t at = fullName.rfind("::");
    return at == std::string::npos ? std::string() : fullName.substr(0, at);
}

void print(const Value& v, uint8_t flags) {
    if ((flags & ListContext) && v.is<List>()) {
        for (const Value& item : v.asList()) std::cout << item.toString() << '\n';
    } else {
        std::cout << v.toString() << '\n';
    }
}

int run(const std::vector<std::string>& args) {
    fs::path product;
    std::vector<std::string> includes, modules;
    uint8_t flags = NoFlags;
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string& o = args[i];
        auto value = [&]() -> std::string {
            if (o.size() > 2 && o[1] != '-') return o.substr(2);  // -IDIR, -MModule
            if (++i >= args.size()) throw UsageError(o + " needs a value");
            return args[i];
        };
        if (o == "--product")
            product = value();
        else if (o.rfind("-I", 0) == 0)
            includes.push_back(fs::absolute(value()).string());
        else if (o.rfind("-M", 0) == 0)
            modules.push_back(value());
        else if (o == "--list")
            flags |= ListContext;
        else if (o == "--by-value")
            flags |= ByValue;
        else if (o == "-h" || o == "--help") {
            std::cout << usage;
            return 0;
        } else if (o == "--version") {
            std::cout << "veltrix-perl " VELTRIX_VERSION " (Perl 5.40 bridge)\n";
            return 0;
        } else
            throw UsageError("unknown option " + o);
    }
    if (i >= args.size()) throw UsageError("no command given");
    const std::string mode = args[i++];
    if (mode != "call" && mode != "script" && mode != "new" && mode != "heartbeat")
        throw UsageError("unknown command " + mode);

    PerlClient perl(product.empty() ? PerlClient::DefaultProductDir() : product);
    // Last first, so that the first -I ends up first, as with perl -I.
    for (auto dir = includes.rbegin(); dir != includes.rend(); ++dir) perl.AddIncludePath(*dir);
    for (const std::string& m : modules) perl.LoadLibrary(m);

    if (mode == "heartbeat") {
        bool ok = perl.HeartBeat();
        std::cout << (ok ? "alive" : "no answer") << '\n';
        return ok ? 0 : 1;
    }
    if (mode == "call") {
        if (i >= args.size()) throw UsageError("call needs a FUNCTION");
        const std::string& function = args[i];
        loadPackageOf(perl, packageOf(function));
        print(perl.CallFunction(function, parseArguments(args.begin() + i + 1, args.end()), flags), flags);
        return 0;
    }
    if (mode == "script") {
        if (i + 1 >= args.size()) throw UsageError("script needs a FILE and a FUNCTION");
        perl.LoadLibrary(fs::absolute(args[i]).string());
        print(perl.CallFunction(args[i + 1], parseArguments(args.begin() + i + 2, args.end()), flags), flags);
        return 0;
    }
    // new CLASS [ARG...] [--then METHOD [ARG...]]... [--field FIELD]: one nested command, one round trip.
    if (i >= args.size()) throw UsageError("new needs a CLASS");
    const std::string& cls = args[i++];
    loadPackageOf(perl, cls);
    auto segmentEnd = [&](size_t from) {
        while (from < args.size() && args[from] != "--then" && args[from] != "--field") ++from;
        return from;
    };
    size_t end = segmentEnd(i);
    std::vector<Argument> ctorArgs = parseArguments(args.begin() + i, args.begin() + end);
    ctorArgs.insert(ctorArgs.begin(), cls);
    Command command{CommandType::CreateClassInstance, NoFlags, std::move(ctorArgs)};
    uint8_t lastFlags = NoFlags;
    for (i = end; i < args.size();) {
        if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a name after it");
        const std::string& name = args[i + 1];
        if (args[i] == "--field") {
            if (i + 2 != args.size()) throw UsageError("--field FIELD must come last");
            command = Command{CommandType::GetInstanceField, NoFlags, {std::move(command), name}};
            lastFlags = NoFlags;
            break;
        }
        end = segmentEnd(i + 2);
        std::vector<Argument> callArgs = parseArguments(args.begin() + i + 2, args.begin() + end);
        callArgs.insert(callArgs.begin(), {std::move(command), name});
        command = Command{CommandType::InvokeInstanceMethod, NoFlags, std::move(callArgs)};
        lastFlags = NoFlags;
        i = end;
    }
    // Context and by-value apply to the outermost step, the one whose result is printed.
    if (command.type == CommandType::InvokeInstanceMethod) lastFlags = flags;
    command.flags = lastFlags | (flags & ByValue);
    print(perl.Execute(command), command.flags);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return run(args);
    } catch (const UsageError& e) {
        std::cerr << "veltrix-perl: " << e.what() << "\n\n" << usage;
        return 2;
    } catch (const PerlExit& e) {
        return static_cast<int>(e.status() & 0xff);  // as perl itself would end
    } catch (const PerlException& e) {
        std::cerr << "Perl error" << (e.perlClass().empty() ? "" : " (" + e.perlClass() + ")") << ": " << e.message();
        if (e.message().empty() || e.message().back() != '\n') std::cerr << '\n';
        if (!e.stackTrace().empty()) std::cerr << e.stackTrace() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "veltrix-perl: " << e.what() << '\n';
        return 1;
    }
}
