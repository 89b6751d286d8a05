// ErrorText.h: the text of the exception an action raises, for checking error messages exactly.
#pragma once
#include <exception>
#include <string>

namespace veltrix::test {

// The what() text of the exception that `action` raises, or "(no exception)" when it raises none.
template <typename Action>
std::string errorOf(Action&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace veltrix::test
