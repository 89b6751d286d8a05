// AccessPolicy.h: which modules, files, subs and package variables callers may reach (--allow, --allow-eval).
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostClient/Value.h"

namespace VeltrixNS::Server {

class AccessPolicy {
public:
    // Without any pattern every command but Eval is allowed.
    AccessPolicy() = default;

    // A pattern with a '/' names files LoadLibrary may run (matched against the absolute path without "." or
    // ".." parts); any other names packages, subs and package variables ("List::Util::sum", "MyApp::*").
    // `*` stands for any run of characters, "::" included.
    void Allow(std::string pattern);
    // Eval runs any code it is given: it is allowed only when asked for explicitly, with or without patterns.
    void AllowEval() { eval_ = true; }
    bool Restricted() const { return !names_.empty() || !files_.empty(); }

    // The class a handle of the connection had when it was handed out; empty when unknown.
    using HandleClass = std::function<std::string(std::uint64_t id)>;
    // Why the command, or a command nested in it, may not run ("calling POSIX::system"); nothing when it may.
    std::optional<std::string> Refusal(const HostClient::Command& command, const HandleClass& classOf) const;

    static bool Matches(std::string_view pattern, std::string_view name);

private:
    bool NameAllowed(std::string_view name) const;
    bool ModuleAllowed(std::string_view module) const;
    bool FileAllowed(const std::string& path) const;

    std::vector<std::string> names_;
    std::vector<std::string> files_;
    bool eval_ = false;
};

}  // namespace VeltrixNS::Server
