// CommandDecoder.cpp: command messages into Command values, with the receiver's checks and error texts.
#include "HostClient/CommandDecoder.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "Common/Utf8.h"

namespace VeltrixNS::HostClient {

using Native::Definitions::Limits::HeaderLength;
using Native::Definitions::Limits::MaxNestingDepth;

namespace {

// Walks values and commands; `response` picks the error class and prefix.
class Walker {
public:
    Walker(std::span<const byte> bytes, std::vector<HandleSite>& handles, bool response)
        : b_(bytes), handles_(handles), response_(response) {}

    Value value(int depth, bool keep) {
        size_t at = pos_;
        if (at >= b_.size()) fail("value expected at offset " + std::to_string(at) + ", message ends");
        auto tag = static_cast<Tag>(b_[at]);
        switch (tag) {
            case Tag::Null: ++pos_; return Value();
            case Tag::False: ++pos_; return Value(false);
            case Tag::True: ++pos_; return Value(true);
            case Tag::Int64:
            case Tag::Double: {
                if (left(at) < 9) fail("number at offset " + std::to_string(at) + " is cut off");
                uint64_t bits = u64(at + 1);
                pos_ = at + 9;
                if (tag == Tag::Int64) return Value(static_cast<int64_t>(bits));
                double number;
                std::memcpy(&number, &bits, sizeof number);
                return Value(number);
            }
            case Tag::String:
            case Tag::Bytes: {
                const char* what = tag == Tag::String ? "string" : "byte string";
                if (left(at) < 5)
                    fail(std::string("length of a ") + what + " at offset " + std::to_string(at) + " is cut off");
                uint32_t n = u32(at + 1);
                if (n > left(at) - 5) fail(claims("string", at, n, "bytes", left(at) - 5));
                const byte* text = b_.data() + at + 5;
                if (tag == Tag::String && VeltrixUtf8InvalidOffset(text, n) != n)
                    fail("string at offset " + std::to_string(at) + " is not valid UTF-8");
                pos_ = at + 5 + n;
                std::string s(reinterpret_cast<const char*>(text), n);
                return tag == Tag::String ? Value(std::move(s)) : Value(Bytes{std::move(s)});
            }
            case Tag::List:
            case Tag::Map: return container(tag, depth, keep);
            case Tag::Handle: {
                if (left(at) < 13) fail("handle at offset " + std::to_string(at) + " is cut off");
                uint64_t id = u64(at + 1);
                uint32_t n = u32(at + 9);
                if (n > left(at) - 13) {
                    fail("type name of the handle at offset " + std::to_string(at) + " claims " + std::to_string(n) +
                         " bytes, only " + std::to_string(left(at) - 13) + " follow");
                }
                const byte* name = b_.data() + at + 13;
                if (VeltrixUtf8InvalidOffset(name, n) != n)
                    fail("type name of the handle at offset " + std::to_string(at) + " is not valid UTF-8");
                handles_.push_back({at + 1, id});
                pos_ = at + 13 + n;
                return keep ? Value(Handle::Unowned(id, std::string(reinterpret_cast<const char*>(name), n))) : Value();
            }
            case Tag::Command:
                fail("a command at offset " + std::to_string(at) + " may only appear as a command argument");
            default:
                fail("unknown type tag " + std::to_string(static_cast<int>(tag)) + " at offset " + std::to_string(at));
        }
    }

    // A command body at the current position; `out` receives it when given.
    void command(Command* out, uint8_t type, int depth) {
        size_t at = pos_;
        if (left(at) < 5) {
            fail("command body at offset " + std::to_string(at) +
                 " is cut off (flags and argument count need 5 bytes)");
        }
        uint32_t count = u32(at + 1);
        if (count > left(at) - 5) fail(claims("command", at, count, "arguments", left(at) - 5));
        if (out != nullptr) {
            out->type = static_cast<CommandType>(type);
            out->flags = b_[at];
            out->args.reserve(count);
        }
        pos_ = at + 5;
        for (uint32_t i = 0; i < count; ++i) {
            size_t argument = pos_;
            if (argument < b_.size() && b_[argument] == static_cast<byte>(Tag::Command)) {
                if (left(argument) < 2) fail("nested command at offset " + std::to_string(argument) + " is cut off");
                if (depth >= MaxNestingDepth)
                    fail("commands nested deeper than " + std::to_string(MaxNestingDepth) + " levels");
                pos_ = argument + 2;
                Command nested;
                command(&nested, b_[argument + 1], depth + 1);
                if (out != nullptr) out->args.emplace_back(std::move(nested));
            } else {
                Value v = value(depth, keepContainers_);
                if (out != nullptr) out->args.emplace_back(std::move(v));
            }
        }
    }

    void keepContainers(bool keep) { keepContainers_ = keep; }
    size_t pos() const { return pos_; }
    void seek(size_t pos) { pos_ = pos; }
    [[noreturn]] void fail(const std::string& what) const {
        if (response_) throw MalformedResponse("Malformed response: " + what);
        throw MalformedCommand("Malformed command: " + what + "\n");
    }

private:
    Value container(Tag tag, int depth, bool keep) {
        const char* what = tag == Tag::List ? "list" : "map";
        size_t at = pos_;
        if (left(at) < 5) fail(std::string(what) + " at offset " + std::to_string(at) + " is cut off");
        if (depth >= MaxNestingDepth) {
            fail(std::string(what) + " at offset " + std::to_string(at) + " is nested deeper than " +
                 std::to_string(MaxNestingDepth) + " levels");
        }
        uint32_t n = u32(at + 1);
        // Every entry takes a byte at least (a map entry two): refused before anything is reserved.
        if (static_cast<uint64_t>(n) * (tag == Tag::List ? 1 : 2) > left(at) - 5)
            fail(claims(what, at, n, "entries", left(at) - 5));
        pos_ = at + 5;
        if (tag == Tag::List) {
            List list;
            if (keep) list.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                Value v = value(depth + 1, keep);
                if (keep) list.push_back(std::move(v));
            }
            return keep ? Value(std::move(list)) : Value();
        }
        Map map;
        for (uint32_t i = 0; i < n; ++i) {
            size_t keyAt = pos_;
            Value key = value(depth + 1, true);
            std::string text;
            if (!keyText(key, text)) fail("map key at offset " + std::to_string(keyAt) + " is not a scalar");
            Value v = value(depth + 1, keep);
            if (keep) map.insert_or_assign(std::move(text), std::move(v));
        }
        return keep ? Value(std::move(map)) : Value();
    }

    // A scalar key as Perl turns it into text; false for keys Perl refuses (undef and references).
    static bool keyText(const Value& key, std::string& text) {
        if (key.is<std::string>() || key.is<Bytes>()) {
            text = key.asString();
        } else if (key.is<bool>()) {
            text = key.asBool() ? "1" : "";
        } else if (key.is<int64_t>()) {
            text = std::to_string(key.asInt());
        } else if (key.is<double>()) {
            double d = key.as<double>();
            char buffer[32];
            if (std::isnan(d))
                std::snprintf(buffer, sizeof buffer, "NaN");
            else if (std::isinf(d))
                std::snprintf(buffer, sizeof buffer, d < 0 ? "-Inf" : "Inf");
            else
                std::snprintf(buffer, sizeof buffer, "%.15g", d);
            text = buffer;
        } else {
            return false;
        }
        return true;
    }

    static std::string claims(const char* what, size_t at, uint64_t n, const char* unit, size_t follow) {
        return std::string(what) + " at offset " + std::to_string(at) + " claims " + std::to_string(n) + " " + unit +
               ", only " + std::to_string(follow) + (std::strcmp(unit, "bytes") == 0 ? " follow" : " bytes follow");
    }
    size_t left(size_t at) const { return b_.size() - at; }
    uint32_t u32(size_t at) const {
        uint32_t n;
        std::memcpy(&n, b_.data() + at, 4);
        return n;
    }
    uint64_t u64(size_t at) const {
        uint64_t n;
        std::memcpy(&n, b_.data() + at, 8);
        return n;
    }

    std::span<const byte> b_;
    std::vector<HandleSite>& handles_;
    bool response_;
    bool keepContainers_ = true;
    size_t pos_ = 0;
};

}  // namespace

DecodedCommand DecodeCommand(std::span<const byte> message, bool withContainers) {
    DecodedCommand decoded;
    Walker walker(message, decoded.handles, false);
    if (message.size() < HeaderLength) {
        walker.fail("message of " + std::to_string(message.size()) + " bytes is shorter than the " +
                    std::to_string(HeaderLength) + "-byte header");
    }
    decoded.header = Native::Definitions::CommandHeader::Read(message.data());
    if (decoded.header.Type() == CommandType::HeartBeat) {
        decoded.command.type = CommandType::HeartBeat;
        return decoded;
    }
    walker.keepContainers(withContainers);
    walker.seek(HeaderLength);
    walker.command(&decoded.command, decoded.header.commandType, 0);
    if (walker.pos() != message.size()) {
        walker.fail(std::to_string(message.size() - walker.pos()) + " bytes left over after the command at offset " +
                    std::to_string(walker.pos()));
    }
    return decoded;
}

std::vector<HandleSite> ResponseHandles(std::span<const byte> response) {
    std::vector<HandleSite> handles;
    Walker walker(response, handles, true);
    if (response.size() < HeaderLength) {
        walker.fail("response of " + std::to_string(response.size()) + " bytes is shorter than the " +
                    std::to_string(HeaderLength) + "-byte header");
    }
    walker.seek(HeaderLength);
    walker.value(0, false);
    if (walker.pos() != response.size()) {
        walker.fail(std::to_string(response.size() - walker.pos()) + " bytes left over after the response value");
    }
    return handles;
}

}  // namespace VeltrixNS::HostClient
