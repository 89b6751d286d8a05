// Value.h: the values a C++ host exchanges with Perl (null, booleans, numbers, text, bytes, lists, maps, handles)
// and their conversions to and from C++ types.
#pragma once
#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "Definitions/commandTypes.h"

namespace VeltrixNS::HostClient {

using VeltrixNS::Native::Definitions::CommandType;

// A value that is not of the type asked for, or does not fit it.
class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A byte string (may hold NULs and any byte), as opposed to UTF-8 text.
struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
};

class Session;

// Shared state of one handle: when the last copy goes, the Perl value is released.
class HandleState {
public:
    HandleState(uint64_t id, std::string type, std::shared_ptr<Session> session);
    ~HandleState();
    HandleState(const HandleState&) = delete;
    HandleState& operator=(const HandleState&) = delete;

    uint64_t id() const { return id_; }
    const std::string& type() const { return type_; }

private:
    uint64_t id_;
    std::string type_;
    std::shared_ptr<Session> session_;
};

// A Perl value kept on the Perl side (an object, array, code or scalar reference). Copies share it; copies may
// be used and dropped on any thread.
class Handle {
public:
    Handle() = default;
    explicit Handle(std::shared_ptr<const HandleState> state) : state_(std::move(state)) {}
    // A handle that nobody releases (ids received from elsewhere, or values built for encoding only).
    static Handle Unowned(uint64_t id, std::string type = "");

    bool valid() const { return state_ != nullptr; }
    uint64_t id() const { return state_ ? state_->id() : 0; }
    const std::string& type() const;
    bool operator==(const Handle& other) const { return id() == other.id(); }

private:
    std::shared_ptr<const HandleState> state_;
};

class Value;
using List = std::vector<Value>;
using Map = std::map<std::string, Value>;

// Integer types that travel as numbers (bool and char are not numbers here).
template <typename T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

// C++ types a Value can be made from (other than Value itself).
template <typename T>
concept ToValue = !std::same_as<std::remove_cvref_t<T>, Value> && std::constructible_from<Value, const T&>;

// How as<T>() makes a T; specialised below for every supported T.
template <typename T>
struct FromValue;

class Value {
public:
    using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, List, Map, Handle>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(std::nullopt_t) {}
    Value(bool b) : v_(b) {}
    // An unsigned value above INT64_MAX travels as the string of its decimal digits, as the format has it.
    template <Integer T>
    Value(T i) : v_(integer(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(List l) : v_(std::move(l)) {}
    Value(Map m) : v_(std::move(m)) {}
    Value(Handle h) : v_(std::move(h)) {}
    template <ToValue T>
    Value(const std::vector<T>& items) : v_(List(items.begin(), items.end())) {}
    template <ToValue T>
    Value(const std::map<std::string, T>& entries) : v_(Map(entries.begin(), entries.end())) {}
    template <ToValue T>
    Value(const std::unordered_map<std::string, T>& entries) : v_(Map(entries.begin(), entries.end())) {}
    template <ToValue T>
    Value(const std::optional<T>& maybe) : v_(maybe ? Value(*maybe).v_ : Storage()) {}

    const Storage& storage() const { return v_; }
    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(v_);
    }

    // The value as T. Text, byte strings, lists, maps and handles come back by reference from a named Value and
    // by value from a temporary one (so `for (auto& v : f().asList())` is safe). Numbers are range-checked;
    // T may also be std::vector, std::map/unordered_map with string keys, std::optional (null: empty) and
    // std::string_view (not of a temporary). Throws ValueError naming both types, or the value and the range.
    template <typename T>
    decltype(auto) as() const& {
        if constexpr (isHeld<T>)
            return static_cast<const T&>(held<T>());
        else
            return FromValue<T>::from(*this);
    }
    template <typename T>
    decltype(auto) as() && {
        static_assert(!std::same_as<T, std::string_view>, "a string_view into a temporary Value would dangle");
        if constexpr (isHeld<T>)
            return T(std::move(const_cast<T&>(held<T>())));
        else
            return FromValue<T>::from(*this);
    }

    bool asBool() const;
    int64_t asInt() const;
    // A double, or an integer widened to double.
    double asDouble() const;
    // Text or byte string contents.
    const std::string& asString() const&;
    std::string asString() &&;
    const List& asList() const& { return as<List>(); }
    List asList() && { return std::move(*this).as<List>(); }
    const Map& asMap() const& { return as<Map>(); }
    Map asMap() && { return std::move(*this).as<Map>(); }
    const Handle& asHandle() const& { return as<Handle>(); }
    Handle asHandle() && { return std::move(*this).as<Handle>(); }

    // Name of the held type: "null", "bool", "int64", "double", "string", "bytes", "list", "map", "handle".
    std::string typeName() const;
    // Readable form for people: numbers and text as such, lists as [a, b], maps as {k: v}, handles as <Type #id>.
    std::string toString() const;

    bool operator==(const Value& other) const { return v_ == other.v_; }

    [[noreturn]] void throwWrongType(const char* wanted) const;
    // The held integer within [low, high]; `type` names the C++ type for the error.
    int64_t signedIn(int64_t low, int64_t high, const char* type) const;
    // The held integer, or a string of decimal digits, within [0, high].
    uint64_t unsignedIn(uint64_t high, const char* type) const;

private:
    template <Integer T>
    static Storage integer(T i) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t)) {
            if (i > static_cast<T>(INT64_MAX)) return std::to_string(i);
        }
        return static_cast<int64_t>(i);
    }
    template <typename T>
    static constexpr bool isHeld = std::same_as<T, std::string> || std::same_as<T, Bytes> || std::same_as<T, List> ||
                                   std::same_as<T, Map> || std::same_as<T, Handle>;
    template <typename T>
    const T& held() const;

    Storage v_;
};

// Names of C++ types in error texts.
template <typename T>
constexpr const char* TypeName() {
    if constexpr (std::same_as<T, std::string>)
        return "string";
    else if constexpr (std::same_as<T, Bytes>)
        return "bytes";
    else if constexpr (std::same_as<T, List>)
        return "list";
    else if constexpr (std::same_as<T, Map>)
        return "map";
    else if constexpr (std::same_as<T, Handle>)
        return "handle";
    else if constexpr (std::same_as<T, bool>)
        return "bool";
    else if constexpr (std::same_as<T, double>)
        return "double";
    else if constexpr (Integer<T> && std::is_signed_v<T>)
        return sizeof(T) == 1 ? "int8" : sizeof(T) == 2 ? "int16" : sizeof(T) == 4 ? "int32" : "int64";
    else if constexpr (Integer<T>)
        return sizeof(T) == 1 ? "uint8" : sizeof(T) == 2 ? "uint16" : sizeof(T) == 4 ? "uint32" : "uint64";
    else
        return "the requested type";
}

template <typename T>
const T& Value::held() const {
    if (const T* p = std::get_if<T>(&v_)) return *p;
    throwWrongType(TypeName<T>());
}

template <>
struct FromValue<Value> {
    static Value from(const Value& v) { return v; }
};

template <>
struct FromValue<bool> {
    static bool from(const Value& v) {
        if (const bool* b = std::get_if<bool>(&v.storage())) return *b;
        v.throwWrongType("bool");
    }
};

template <>
struct FromValue<double> {
    static double from(const Value& v) {
        if (const int64_t* i = std::get_if<int64_t>(&v.storage())) return static_cast<double>(*i);
        if (const double* d = std::get_if<double>(&v.storage())) return *d;
        v.throwWrongType("double");
    }
};

template <Integer T>
struct FromValue<T> {
    static T from(const Value& v) {
        using Limits = std::numeric_limits<T>;
        if constexpr (std::is_signed_v<T>)
            return static_cast<T>(v.signedIn(Limits::min(), Limits::max(), TypeName<T>()));
        else
            return static_cast<T>(v.unsignedIn(Limits::max(), TypeName<T>()));
    }
};

template <>
struct FromValue<std::string_view> {
    static std::string_view from(const Value& v) { return v.asString(); }
};

template <typename T>
struct FromValue<std::optional<T>> {
    static std::optional<T> from(const Value& v) {
        if (v.isNull()) return std::nullopt;
        return v.as<T>();
    }
};

// Element conversions name the element that failed: "list element 2: Perl value is string, not int32".
template <typename T>
struct FromValue<std::vector<T>> {
    static std::vector<T> from(const Value& v) {
        const List& list = v.as<List>();
        std::vector<T> out;
        out.reserve(list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            try {
                out.push_back(list[i].as<T>());
            } catch (const ValueError& e) {
                throw ValueError("list element " + std::to_string(i) + ": " + e.what());
            }
        }
        return out;
    }
};

template <typename MapType>
MapType MapFromValue(const Value& v) {
    MapType out;
    for (const auto& [key, item] : v.as<Map>()) {
        try {
            out.emplace(key, item.template as<typename MapType::mapped_type>());
        } catch (const ValueError& e) {
            throw ValueError("map value '" + key + "': " + e.what());
        }
    }
    return out;
}

template <typename T>
struct FromValue<std::map<std::string, T>> {
    static std::map<std::string, T> from(const Value& v) { return MapFromValue<std::map<std::string, T>>(v); }
};

template <typename T>
struct FromValue<std::unordered_map<std::string, T>> {
    static std::unordered_map<std::string, T> from(const Value& v) {
        return MapFromValue<std::unordered_map<std::string, T>>(v);
    }
};

inline bool Value::asBool() const {
    return as<bool>();
}
inline int64_t Value::asInt() const {
    return as<int64_t>();
}
inline double Value::asDouble() const {
    return as<double>();
}

// Command flags (first byte of a command body).
enum Flags : uint8_t {
    NoFlags = 0,
    ListContext = 1,  // call in list context; the result is a list of every returned value
    ByValue = 2,      // unblessed arrays and hashes in the result come back as lists and maps
};

// This bridge's own command: a string of Perl code run in package main (other runtimes don't send it).
inline constexpr CommandType EvalCommand = static_cast<CommandType>(34);

struct Command;

// An argument of a command: a value, or a command that Perl runs first and whose result it uses.
class Argument {
public:
    template <typename T>
    requires std::constructible_from<Value, T> Argument(T&& v) : a_(Value(std::forward<T>(v))) {}
    Argument(Command c);

    const Value* value() const { return std::get_if<Value>(&a_); }
    // The value, for a reader that takes it over (a decoded command's arguments).
    Value* value() { return std::get_if<Value>(&a_); }
    const Command* command() const;

private:
    std::variant<Value, std::shared_ptr<const Command>> a_;
};

struct Command {
    CommandType type = CommandType::Value;
    uint8_t flags = NoFlags;
    std::vector<Argument> args;
};

inline Argument::Argument(Command c) : a_(std::make_shared<const Command>(std::move(c))) {}
inline const Command* Argument::command() const {
    auto p = std::get_if<std::shared_ptr<const Command>>(&a_);
    return p ? p->get() : nullptr;
}

}  // namespace VeltrixNS::HostClient
