// HostFunction.h: C++ functions that Perl code calls (host functions): the object the C++ runtime's library
// VeltrixCppRuntimeNative.dll holds for each, its registration exports, and the wrapper that turns a typed C++
// callable into a function on values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "HostClient/Value.h"
#include "_common.h"

namespace VeltrixNS::HostClient {

// A host function on values: Perl's arguments in, one value out (null for none). An exception it throws reaches
// the Perl caller as a die.
using HostCallable = std::function<Value(const List& args)>;

// A host function as VeltrixCppRuntimeNative.dll holds it. The host makes it and hands it over at registration; the
// library deletes it once no Perl code refers to it. Kept as a virtual interface for the cross-library contract:
// the host and the library come from one build, so that their Value types agree.
class VELTRIX_VISIBLE HostFunction {
public:
    virtual ~HostFunction() = default;
    virtual Value Call(const List& args) = 0;
};

// RegisterHostFunction(name, function): takes ownership of `function` and returns its id (0 when it could not be
// registered; the function is deleted then). With a name ("Package::sub") Perl code can also call it by that name.
using RegisterHostFunctionFn = uint64_t (*)(const char* name, HostFunction* function);
// ReleaseHostFunction(id): 1 when the id was registered and is released now, 0 otherwise.
using ReleaseHostFunctionFn = int (*)(uint64_t id);

// `name` with its package: a sub name without one ("f", "::f") is in main, as Perl has it. Checks nothing else.
inline std::string InMainUnlessQualified(const std::string& name) {
    if (name.starts_with("::")) return "main" + name;
    return name.find("::") == std::string::npos ? "main::" + name : name;
}

namespace detail {

// Parameter and result types of a callable that is not a template.
template <typename R, typename... A>
struct SignatureOf {
    using Result = R;
    using Arguments = std::tuple<std::remove_cvref_t<A>...>;
};
template <typename F>
struct Signature : Signature<decltype(&F::operator())> {};
template <typename R, typename... A>
struct Signature<R (*)(A...)> : SignatureOf<R, A...> {};
template <typename R, typename... A>
struct Signature<R (*)(A...) noexcept> : SignatureOf<R, A...> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...)> : SignatureOf<R, A...> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> : SignatureOf<R, A...> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) noexcept> : SignatureOf<R, A...> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const noexcept> : SignatureOf<R, A...> {};

// Argument `index` as T; a failure names the function and the argument (counted from 1).
template <typename T>
T Argument(const List& args, std::size_t index, const std::string& name) {
    try {
        return args[index].as<T>();
    } catch (const ValueError& e) {
        throw ValueError(name + ": argument " + std::to_string(index + 1) + ": " + e.what());
    }
}

// f(args...) as a Value; void is null.
template <typename F, typename... A>
Value ResultOf(F& f, A&&... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<F&, A...>>) {
        std::invoke(f, std::forward<A>(args)...);
        return Value();
    } else {
        return Value(std::invoke(f, std::forward<A>(args)...));
    }
}

template <typename F, typename... A, std::size_t... I>
Value CallTyped(F& f, const List& args, const std::string& name, std::tuple<A...>*, std::index_sequence<I...>) {
    if (args.size() != sizeof...(A)) {
        throw ValueError(name + " takes " + std::to_string(sizeof...(A)) +
                         (sizeof...(A) == 1 ? " argument" : " arguments") + ", got " + std::to_string(args.size()));
    }
    // Braces convert left to right: the first argument that does not fit is the one named.
    std::tuple<A...> converted{Argument<A>(args, I, name)...};
    return ResultOf(f, std::move(std::get<I>(converted))...);
}

}  // namespace detail

// `f` as a function on values. A callable on (const List&) or (List) takes the arguments as they come; any other
// callable (a lambda, a function pointer; not a generic lambda) gets its parameters converted with Value::as<T>, and
// a wrong count or a value that does not fit throws ValueError naming `name` ("main::add takes 2 arguments, got 3",
// "main::add: argument 2: Perl value is string, not int64"). Its result becomes a Value; void is null.
template <typename F>
HostCallable MakeHostCallable(F f, std::string name) {
    using Arguments = typename detail::Signature<std::decay_t<F>>::Arguments;
    if constexpr (std::is_same_v<Arguments, std::tuple<List>>) {
        return [f = std::move(f)](const List& args) mutable { return detail::ResultOf(f, args); };
    } else {
        return [f = std::move(f), name = std::move(name)](const List& args) mutable {
            return detail::CallTyped(f, args, name, static_cast<Arguments*>(nullptr),
                                     std::make_index_sequence<std::tuple_size_v<Arguments>>());
        };
    }
}

}  // namespace VeltrixNS::HostClient
