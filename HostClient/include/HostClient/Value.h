// Value.h: the values a C++ host exchanges with Perl (null, booleans, numbers, text, bytes, lists, maps, handles).
#pragma once
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Definitions/commandTypes.h"

namespace VeltrixNS::HostClient {

using VeltrixNS::Native::Definitions::CommandType;

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

// A Perl value kept on the Perl side (an object, array, code or scalar reference). Copies share it.
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

class Value {
public:
    using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, List, Map, Handle>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T i) : v_(static_cast<int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(List l) : v_(std::move(l)) {}
    Value(Map m) : v_(std::move(m)) {}
    Value(Handle h) : v_(std::move(h)) {}

    const Storage& storage() const { return v_; }
    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(v_);
    }
    // The value as T; throws std::runtime_error naming both types when it holds something else.
    template <typename T>
    const T& as() const {
        if (const T* p = std::get_if<T>(&v_)) return *p;
        throwWrongType(typeName<T>());
    }

    bool asBool() const { return as<bool>(); }
    int64_t asInt() const { return as<int64_t>(); }
    // A double, or an integer widened to double.
    double asDouble() const;
    // Text or byte string contents.
    const std::string& asString() const;
    const List& asList() const { return as<List>(); }
    const Map& asMap() const { return as<Map>(); }
    const Handle& asHandle() const { return as<Handle>(); }

    // Name of the held type: "null", "bool", "int64", "double", "string", "bytes", "list", "map", "handle".
    std::string typeName() const;
    // Readable form for people: numbers and text as such, lists as [a, b], maps as {k: v}, handles as <Type #id>.
    std::string toString() const;

    bool operator==(const Value& other) const { return v_ == other.v_; }

private:
    template <typename T>
    static const char* typeName();
    [[noreturn]] void throwWrongType(const char* wanted) const;

    Storage v_;
};

template <>
inline const char* Value::typeName<bool>() {
    return "bool";
}
template <>
inline const char* Value::typeName<int64_t>() {
    return "int64";
}
template <>
inline const char* Value::typeName<double>() {
    return "double";
}
template <>
inline const char* Value::typeName<std::string>() {
    return "string";
}
template <>
inline const char* Value::typeName<Bytes>() {
    return "bytes";
}
template <>
inline const char* Value::typeName<List>() {
    return "list";
}
template <>
inline const char* Value::typeName<Map>() {
    return "map";
}
template <>
inline const char* Value::typeName<Handle>() {
    return "handle";
}

// Command flags (first byte of a command body).
enum Flags : uint8_t {
    NoFlags = 0,
    ListContext = 1,  // call in list context; the result is a list of every returned value
    ByValue = 2,      // unblessed arrays and hashes in the result come back as lists and maps
};

struct Command;

// An argument of a command: a value, or a command that Perl runs first and whose result it uses.
class Argument {
public:
    template <typename T>
    requires std::constructible_from<Value, T> Argument(T&& v) : a_(Value(std::forward<T>(v))) {}
    Argument(Command c);

    const Value* value() const { return std::get_if<Value>(&a_); }
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
