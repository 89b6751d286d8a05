// Codec.cpp: encoding of commands and decoding of responses, bounds-checked at every read.
#include "HostClient/Codec.h"

#include <bit>
#include <cstring>

#include "Common/Utf8.h"

namespace VeltrixNS::HostClient {

using Native::Definitions::CommandHeader;
using Native::Definitions::MessageCommandType;
using Native::Definitions::Limits::HeaderLength;
using Native::Definitions::Limits::MaxNestingDepth;

static_assert(std::endian::native == std::endian::little, "the command format is little-endian");

namespace {

std::string nestedTooDeep(const char* what) {
    return std::string(what) + " nested deeper than " + std::to_string(MaxNestingDepth) + " levels";
}

// Offset of the first byte of `s` that breaks well-formed UTF-8, or its size.
size_t invalidUtf8At(std::string_view s) {
    return VeltrixUtf8InvalidOffset(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

void Encoder::u32(uint32_t n) {
    size_t at = out_.size();
    out_.resize(at + 4);
    std::memcpy(out_.data() + at, &n, 4);
}

void Encoder::u64(uint64_t n) {
    size_t at = out_.size();
    out_.resize(at + 8);
    std::memcpy(out_.data() + at, &n, 8);
}

void Encoder::text(Tag tag, const std::string& s) {
    if (s.size() > UINT32_MAX) throw std::length_error("string longer than 4 GiB cannot be sent");
    if (tag == Tag::String) {
        if (size_t bad = invalidUtf8At(s); bad != s.size()) {
            throw std::invalid_argument("string is not valid UTF-8 at byte " + std::to_string(bad) +
                                        " (send byte strings as Bytes)");
        }
    }
    u8(static_cast<uint8_t>(tag));
    u32(static_cast<uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
}

CommandHeader Encoder::CommandHeaderFor(uint8_t calledRuntimeVersion) {
    CommandHeader h;
    h.calledRuntime = PerlRuntimeNumber;
    h.calledRuntimeVersion = calledRuntimeVersion;
    h.callingRuntime = CppRuntimeNumber;
    return h;
}

void Encoder::header(CommandType type, CommandHeader base) {
    base.commandType = static_cast<uint8_t>(type);
    auto bytes = base.Bytes();
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void Encoder::commandBody(uint8_t flags, std::span<const Argument> args, int depth) {
    if (args.size() > UINT32_MAX) throw std::length_error("too many arguments");
    u8(flags);
    u32(static_cast<uint32_t>(args.size()));
    for (const Argument& a : args) {
        if (const Command* c = a.command()) {
            if (depth >= MaxNestingDepth) throw std::invalid_argument(nestedTooDeep("commands"));
            u8(static_cast<uint8_t>(Tag::Command));
            u8(static_cast<uint8_t>(c->type));
            commandBody(c->flags, c->args, depth + 1);
        } else {
            value(*a.value(), 0);
        }
    }
}

void Encoder::value(const Value& v, int depth) {
    struct Visitor {
        Encoder& e;
        int depth;
        void operator()(std::monostate) const { e.u8(static_cast<uint8_t>(Tag::Null)); }
        void operator()(bool b) const { e.u8(static_cast<uint8_t>(b ? Tag::True : Tag::False)); }
        void operator()(int64_t i) const {
            e.u8(static_cast<uint8_t>(Tag::Int64));
            e.u64(static_cast<uint64_t>(i));
        }
        void operator()(double d) const {
            e.u8(static_cast<uint8_t>(Tag::Double));
            e.u64(std::bit_cast<uint64_t>(d));
        }
        void operator()(const std::string& s) const { e.text(Tag::String, s); }
        void operator()(const Bytes& b) const { e.text(Tag::Bytes, b.data); }
        void operator()(const List& l) const {
            checkDepth();
            e.u8(static_cast<uint8_t>(Tag::List));
            e.u32(static_cast<uint32_t>(l.size()));
            for (const Value& item : l) e.value(item, depth + 1);
        }
        void operator()(const Map& m) const {
            checkDepth();
            e.u8(static_cast<uint8_t>(Tag::Map));
            e.u32(static_cast<uint32_t>(m.size()));
            for (const auto& [k, item] : m) {
                e.text(Tag::String, k);
                e.value(item, depth + 1);
            }
        }
        void operator()(const Handle& h) const {
            if (!h.valid()) throw std::invalid_argument("an empty handle cannot be sent");
            e.u8(static_cast<uint8_t>(Tag::Handle));
            e.u64(h.id());
            e.u32(0);  // the id is enough; the type name is informative only
        }
        void checkDepth() const {
            if (depth >= MaxNestingDepth) throw std::invalid_argument(nestedTooDeep("value"));
        }
    };
    std::visit(Visitor{*this, depth}, v.storage());
}

void Encoder::message(std::vector<byte>& out, const Command& command, const CommandHeader& base) {
    out.clear();
    Encoder e(out);
    e.header(command.type, base);
    e.commandBody(command.flags, command.args);
}

void Encoder::exceptionResponse(std::vector<byte>& out, const Native::Definitions::CommandHeader& command,
                                const std::string& text, const std::string& exceptionClass, const std::string& stack) {
    auto header = command.ResponseTo(CommandType::Exception).Bytes();
    out.assign(header.begin(), header.end());
    Encoder e(out);
    e.u8(static_cast<uint8_t>(Tag::Map));
    e.u32(3);
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string&>{"message", text}, {"class", exceptionClass}, {"stack", stack}}) {
        e.text(Tag::String, key);
        e.text(invalidUtf8At(value) == value.size() ? Tag::String : Tag::Bytes, value);
    }
}

namespace {

class Decoder {
public:
    Decoder(std::span<const byte> bytes, const HandleFactory& handles) : b_(bytes), handles_(handles) {}

    Value value(int depth) {
        size_t at = pos_;
        need(1, "value");
        auto tag = static_cast<Tag>(b_[pos_++]);
        switch (tag) {
            case Tag::Null: return Value();
            case Tag::False: return Value(false);
            case Tag::True: return Value(true);
            case Tag::Int64: {
                need(8, "int64", at);
                return Value(static_cast<int64_t>(u64()));
            }
            case Tag::Double: {
                need(8, "double", at);
                return Value(std::bit_cast<double>(u64()));
            }
            case Tag::String: return Value(utf8Text("string", at));
            case Tag::Bytes: return Value(Bytes{text("byte string", at)});
            case Tag::List: {
                if (depth >= MaxNestingDepth) fail(nestedTooDeep("list"), at);
                need(4, "list", at);
                uint32_t n = u32();
                if (n > b_.size() - pos_) fail("list claims " + std::to_string(n) + " entries", at);
                List list;
                list.reserve(n);
                for (uint32_t i = 0; i < n; ++i) list.push_back(value(depth + 1));
                return Value(std::move(list));
            }
            case Tag::Map: {
                if (depth >= MaxNestingDepth) fail(nestedTooDeep("map"), at);
                need(4, "map", at);
                uint32_t n = u32();
                if (n > (b_.size() - pos_) / 2) fail("map claims " + std::to_string(n) + " entries", at);
                Map map;
                for (uint32_t i = 0; i < n; ++i) {
                    size_t keyAt = pos_;
                    Value key = value(depth + 1);
                    if (!key.is<std::string>() && !key.is<Bytes>()) fail("map key is " + key.typeName(), keyAt);
                    map.insert_or_assign(key.asString(), value(depth + 1));
                }
                return Value(std::move(map));
            }
            case Tag::Handle: {
                need(12, "handle", at);
                uint64_t id = u64();
                std::string type = utf8Text("handle type name", at, false);
                return Value(handles_(id, std::move(type)));
            }
            default: fail("unknown type tag " + std::to_string(static_cast<int>(tag)), at);
        }
    }

    size_t pos() const { return pos_; }
    void seek(size_t pos) { pos_ = pos; }

private:
    [[noreturn]] void fail(const std::string& what, size_t at) const {
        throw MalformedResponse("Malformed response: " + what + " at offset " + std::to_string(at));
    }
    void need(size_t n, const char* what, size_t at) const {
        if (b_.size() - pos_ < n) fail(std::string(what) + " is cut off", at);
    }
    void need(size_t n, const char* what) const { need(n, what, pos_); }
    uint32_t u32() {
        uint32_t n;
        std::memcpy(&n, b_.data() + pos_, 4);
        pos_ += 4;
        return n;
    }
    uint64_t u64() {
        uint64_t n;
        std::memcpy(&n, b_.data() + pos_, 8);
        pos_ += 8;
        return n;
    }
    std::string text(const char* what, size_t at, bool lengthNeeded = true) {
        if (lengthNeeded) need(4, what, at);
        uint32_t n = u32();
        if (n > b_.size() - pos_) fail(std::string(what) + " claims " + std::to_string(n) + " bytes", at);
        std::string s(reinterpret_cast<const char*>(b_.data() + pos_), n);
        pos_ += n;
        return s;
    }

    std::string utf8Text(const char* what, size_t at, bool lengthNeeded = true) {
        std::string s = text(what, at, lengthNeeded);
        if (size_t bad = invalidUtf8At(s); bad != s.size())
            fail(std::string(what) + " holds invalid UTF-8", pos_ - s.size() + bad);
        return s;
    }

    std::span<const byte> b_;
    const HandleFactory& handles_;
    size_t pos_ = 0;
};

}  // namespace

Response DecodeResponse(std::span<const byte> bytes, const HandleFactory& handles) {
    if (bytes.size() < HeaderLength) {
        throw MalformedResponse("Malformed response: " + std::to_string(bytes.size()) + " bytes are shorter than the " +
                                std::to_string(HeaderLength) + "-byte header");
    }
    Decoder d(bytes, handles);
    d.seek(HeaderLength);
    Response r;
    r.type = MessageCommandType(bytes.data());
    r.value = d.value(0);
    if (d.pos() != bytes.size()) {
        throw MalformedResponse("Malformed response: " + std::to_string(bytes.size() - d.pos()) +
                                " bytes left over at offset " + std::to_string(d.pos()));
    }
    return r;
}

}  // namespace VeltrixNS::HostClient
