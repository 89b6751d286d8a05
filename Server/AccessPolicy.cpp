// AccessPolicy.cpp: the names each command reaches, checked against the allowed patterns.
#include "AccessPolicy.h"

#include <filesystem>
#include <regex>

namespace VeltrixNS::Server {

namespace {

using HostClient::Command;
using HostClient::CommandType;
using HostClient::Value;

// Added to the command format after the table in Definitions (runs Perl code given as text).
constexpr auto kEval = static_cast<CommandType>(34);

// A literal text argument, or nothing (a nested command, a handle, another value).
const std::string* Text(const Command& command, std::size_t index) {
    if (index >= command.args.size()) return nullptr;
    const Value* v = command.args[index].value();
    return v != nullptr && v->is<std::string>() ? &v->as<std::string>() : nullptr;
}

const HostClient::Handle* HandleArgument(const Command& command, std::size_t index) {
    if (index >= command.args.size()) return nullptr;
    const Value* v = command.args[index].value();
    return v != nullptr && v->is<HostClient::Handle>() ? &v->asHandle() : nullptr;
}

// The sub a method name reaches from a class: a qualified name ("Other::sub", "SUPER::new", old "Other'sub")
// names its own package.
std::string Qualified(const std::string& package, const std::string& name) {
    std::string full = name;
    for (std::size_t at = full.find('\''); at != std::string::npos; at = full.find('\'', at + 2))
        full.replace(at, 1, "::");
    return full.find("::") != std::string::npos ? full : package + "::" + full;
}

// The receiver's rule: a module name unless it looks like a file.
bool IsModuleName(const std::string& name) {
    static const std::regex module(R"(^[A-Za-z_]\w*(::\w+)*$)");
    return std::regex_match(name, module) && !name.ends_with(".pl") && !name.ends_with(".pm");
}

}  // namespace

void AccessPolicy::Allow(std::string pattern) {
    (pattern.find('/') != std::string::npos ? files_ : names_).push_back(std::move(pattern));
}

bool AccessPolicy::Matches(std::string_view pattern, std::string_view name) {
    // Glob with '*' only; backtracks to the last star.
    std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool AccessPolicy::NameAllowed(std::string_view name) const {
    for (const std::string& pattern : names_)
        if (Matches(pattern, name)) return true;
    return false;
}

// A module may be loaded when its own name is allowed or something inside it is ("List::Util::*").
bool AccessPolicy::ModuleAllowed(std::string_view module) const {
    for (const std::string& pattern : names_) {
        if (Matches(pattern, module)) return true;
        if (pattern.ends_with("::*") && Matches(std::string_view(pattern).substr(0, pattern.size() - 3), module))
            return true;
    }
    return false;
}

bool AccessPolicy::FileAllowed(const std::string& path) const {
    std::error_code ec;
    std::string full = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) return false;
    for (const std::string& pattern : files_)
        if (Matches(pattern, full)) return true;
    return false;
}

std::optional<std::string> AccessPolicy::Refusal(const Command& command, const HandleClass& classOf) const {
    for (const HostClient::Argument& argument : command.args) {
        if (const Command* nested = argument.command()) {
            if (auto refusal = Refusal(*nested, classOf)) return refusal;
        }
    }
    if (command.type == kEval && !eval_) return std::string("Eval");
    if (!Restricted()) return std::nullopt;
    auto call = [&](const std::string& name) -> std::optional<std::string> {
        if (NameAllowed(name)) return std::nullopt;
        return "calling " + name;
    };
    // A sub or method whose name only a nested command knows cannot be checked.
    const std::string computed = "calling a sub named by a nested command or a non-text value";
    switch (command.type) {
        case CommandType::LoadLibrary_: {
            const std::string* name = Text(command, 0);
            if (name == nullptr) return "loading a module named by a nested command or a non-text value";
            if (IsModuleName(*name)) return ModuleAllowed(*name) ? std::nullopt : std::optional("loading " + *name);
            return FileAllowed(*name) ? std::nullopt : std::optional("loading the file " + *name);
        }
        case CommandType::InvokeStaticMethod:
        case CommandType::CreateClassInstance: {
            const std::string* package = Text(command, 0);
            const std::string* method = command.type == CommandType::CreateClassInstance ? nullptr : Text(command, 1);
            if (package == nullptr || (method == nullptr && command.type == CommandType::InvokeStaticMethod))
                return computed;
            if (method != nullptr && *method == "can") return call("UNIVERSAL::can");
            return call(Qualified(*package, method ? *method : "new"));
        }
        case CommandType::InvokeInstanceMethod: {
            if (HandleArgument(command, 1) != nullptr) return std::nullopt;  // a CODE handle it was given
            const std::string* method = Text(command, 1);
            if (method == nullptr) return computed;
            // The object's class: a handle's, a class name, a fresh instance's; "*" when only Perl knows it, so
            // that only patterns allowing the method in every class let it through.
            std::string package = "*";
            if (const HostClient::Handle* object = HandleArgument(command, 0)) {
                package = classOf(object->id());
            } else if (const std::string* name = Text(command, 0)) {
                package = *name;
            } else if (!command.args.empty() && command.args[0].command() != nullptr &&
                       command.args[0].command()->type == CommandType::CreateClassInstance) {
                if (const std::string* created = Text(*command.args[0].command(), 0)) package = *created;
            }
            // `can` hands out code references of any sub: it counts as UNIVERSAL's whatever the class.
            return call(*method == "can" ? std::string("UNIVERSAL::can") : Qualified(package, *method));
        }
        case CommandType::InvokeGlobalMethod: {
            if (HandleArgument(command, 0) != nullptr) return std::nullopt;
            const std::string* name = Text(command, 0);
            if (name == nullptr) return computed;
            return call(Qualified("main", *name));
        }
        case CommandType::GetStaticField:
        case CommandType::SetStaticField: {
            const std::string* package = Text(command, 0);
            const std::string* name = Text(command, 1);
            const char* what = command.type == CommandType::GetStaticField ? "reading " : "setting ";
            if (package == nullptr || name == nullptr)
                return std::string(what) + "a variable named by a nested command or a non-text value";
            std::string bare =
                name->empty() || std::string("$@%").find(name->front()) == std::string::npos ? *name : name->substr(1);
            std::string full = *package + "::" + bare;
            if (NameAllowed(full)) return std::nullopt;
            return std::string(what) + "the variable " + full;
        }
        default: return std::nullopt;
    }
}

}  // namespace VeltrixNS::Server
