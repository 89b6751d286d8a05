// Raise.h: the one way the library raises its failures, numbered ("<component>: Exception code NNN") or not.
#pragma once
#include <string>
#include <string_view>

namespace VeltrixNS::Native::Exception {

// Components that number their failures; each code line starts with one of these.
inline constexpr std::string_view Core = "Veltrix Core Exception";
inline constexpr std::string_view PerlLauncherComponent = "Perl Launcher";
inline constexpr std::string_view Perl540LauncherComponent = "Perl 5.40 Launcher";

// What follows the number: ". \n" at most sites; a few sites keep their own punctuation, which callers rely on.
inline constexpr std::string_view PointBreak = ". \n";
inline constexpr std::string_view BlankBreak = " \n";
inline constexpr std::string_view PointOnly = ".";

// Raises VeltrixNativeException with "<component>: Exception code <code><end><detail>".
[[noreturn]] void RaiseNumbered(std::string_view component, std::string_view code, std::string_view detail,
                                std::string_view end = PointBreak);

// The core's numbered failures.
[[noreturn]] inline void RaiseCore(std::string_view code, std::string_view detail, std::string_view end = PointBreak) {
    RaiseNumbered(Core, code, detail, end);
}

// Raises VeltrixNativeException with the message as it is.
[[noreturn]] void Raise(const std::string& message);

}  // namespace VeltrixNS::Native::Exception
