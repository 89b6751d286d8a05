// Value.cpp: typed access, range checks, display and handle ownership of host values.
#include "HostClient/Value.h"

#include <charconv>
#include <cstdio>

#include "HostClient/PerlClient.h"

namespace VeltrixNS::HostClient {

HandleState::HandleState(uint64_t id, std::string type, std::shared_ptr<Session> session)
    : id_(id), type_(std::move(type)), session_(std::move(session)) {}

HandleState::~HandleState() {
    if (session_) session_->Release(id_);
}

Handle Handle::Unowned(uint64_t id, std::string type) {
    return Handle(std::make_shared<const HandleState>(id, std::move(type), nullptr));
}

const std::string& Handle::type() const {
    static const std::string none;
    return state_ ? state_->type() : none;
}

const std::string& Value::asString() const& {
    if (const Bytes* b = std::get_if<Bytes>(&v_)) return b->data;
    return as<std::string>();
}

std::string Value::asString() && {
    if (Bytes* b = std::get_if<Bytes>(&v_)) return std::move(b->data);
    return std::move(*this).as<std::string>();
}

std::string Value::typeName() const {
    static const char* const names[] = {"null", "bool", "int64", "double", "string", "bytes", "list", "map", "handle"};
    return names[v_.index()];
}

void Value::throwWrongType(const char* wanted) const {
    throw ValueError("Perl value is " + typeName() + ", not " + wanted);
}

namespace {

[[noreturn]] void throwOutOfRange(const std::string& value, const char* type) {
    throw ValueError("Perl value " + value + " is out of range for " + type);
}

}  // namespace

int64_t Value::signedIn(int64_t low, int64_t high, const char* type) const {
    const int64_t* i = std::get_if<int64_t>(&v_);
    if (i == nullptr) throwWrongType(type);
    if (*i < low || *i > high) throwOutOfRange(std::to_string(*i), type);
    return *i;
}

uint64_t Value::unsignedIn(uint64_t high, const char* type) const {
    uint64_t value = 0;
    if (const int64_t* i = std::get_if<int64_t>(&v_)) {
        if (*i < 0) throwOutOfRange(std::to_string(*i), type);
        value = static_cast<uint64_t>(*i);
    } else if (const std::string* s = std::get_if<std::string>(&v_)) {
        // Above INT64_MAX the format carries the decimal digits.
        const bool digits = !s->empty() && s->find_first_not_of("0123456789") == std::string::npos;
        if (!digits) throwWrongType(type);
        auto [end, error] = std::from_chars(s->data(), s->data() + s->size(), value);
        if (error != std::errc() || end != s->data() + s->size()) throwOutOfRange(*s, type);
    } else {
        throwWrongType(type);
    }
    if (value > high) throwOutOfRange(std::to_string(value), type);
    return value;
}

namespace {

void appendQuoted(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

}  // namespace

std::string Value::toString() const {
    struct Printer {
        std::string operator()(std::monostate) const { return "null"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            return buf;
        }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const Bytes& b) const {
            std::string out = "b";
            appendQuoted(out, b.data);
            return out;
        }
        std::string operator()(const List& l) const {
            std::string out = "[";
            for (size_t i = 0; i < l.size(); ++i) {
                if (i) out += ", ";
                out += nested(l[i]);
            }
            return out + "]";
        }
        std::string operator()(const Map& m) const {
            std::string out = "{";
            bool first = true;
            for (const auto& [k, v] : m) {
                if (!first) out += ", ";
                first = false;
                appendQuoted(out, k);
                out += ": " + nested(v);
            }
            return out + "}";
        }
        std::string operator()(const Handle& h) const {
            return "<" + (h.type().empty() ? std::string("handle") : h.type()) + " #" + std::to_string(h.id()) + ">";
        }
        // Inside lists and maps text is quoted, so that "1" and 1 differ.
        static std::string nested(const Value& v) {
            if (const std::string* s = std::get_if<std::string>(&v.storage())) {
                std::string out;
                appendQuoted(out, *s);
                return out;
            }
            return v.toString();
        }
    };
    return std::visit(Printer{}, v_);
}

}  // namespace VeltrixNS::HostClient
