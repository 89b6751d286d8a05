// Value.cpp: typed access, display and handle ownership of host values.
#include "HostClient/Value.h"

#include <cstdio>
#include <stdexcept>

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

double Value::asDouble() const {
    if (const int64_t* i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
    return as<double>();
}

const std::string& Value::asString() const {
    if (const Bytes* b = std::get_if<Bytes>(&v_)) return b->data;
    return as<std::string>();
}

std::string Value::typeName() const {
    static const char* const names[] = {"null", "bool", "int64", "double", "string", "bytes", "list", "map", "handle"};
    return names[v_.index()];
}

void Value::throwWrongType(const char* wanted) const {
    throw std::runtime_error("Perl value is " + typeName() + ", not " + wanted);
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
