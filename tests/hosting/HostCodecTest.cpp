// The host client's codec without a bridge: message bytes as documented, hostile responses refused.
#include <gtest/gtest.h>

#include <limits>

#include "HostClient/Codec.h"

using namespace VeltrixNS::HostClient;

namespace {

std::vector<byte> hex(const std::string& text) {
    std::vector<byte> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<byte>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const HandleFactory unowned = [](uint64_t id, std::string type) { return Handle::Unowned(id, std::move(type)); };

Response decode(const std::vector<byte>& bytes) {
    return DecodeResponse(bytes, unowned);
}

std::string malformedText(const std::vector<byte>& bytes) {
    try {
        decode(bytes);
    } catch (const MalformedResponse& e) {
        return e.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(HostCodec, EncodesTheDocumentedSumExample) {
    std::vector<byte> out;
    Encoder::message(out, Command{CommandType::InvokeGlobalMethod, NoFlags, {"List::Util::sum", 1, 2, 3}});
    EXPECT_EQ(out, hex("0400000000000000000810 00 04000000 050f0000004c6973743a3a5574696c3a3a73756d"
                       "030100000000000000 030200000000000000 030300000000000000"));
}

TEST(HostCodec, EncodesEveryValueKindAndNestedCommands) {
    std::vector<byte> out;
    Encoder e(out);
    e.value(Value(List{Value(), true, false, int64_t(-1), 0.5, "\xc3\xa9", Bytes{std::string("\0\xff", 2)},
                       Map{{"k", 7}}, Handle::Unowned(9, "Foo")}));
    EXPECT_EQ(out, hex("07 09000000 00 02 01 03ffffffffffffffff 04000000000000e03f 0502000000c3a9 060200000000ff"
                       "08 01000000 05010000006b 030700000000000000 09 0900000000000000 00000000"));

    out.clear();
    Command inner{CommandType::CreateClassInstance, ListContext, {"Foo"}};
    Encoder(out).commandBody(ByValue, std::vector<Argument>{inner, "m"});
    EXPECT_EQ(out, hex("02 02000000 0a 05 01 01000000 0503000000466f6f 05010000006d"));
}

TEST(HostCodec, RefusesWhatCannotTravel) {
    std::vector<byte> out;
    Value deep;
    for (int i = 0; i < 70; ++i) deep = Value(List{deep});
    EXPECT_THROW(Encoder(out).value(deep), std::invalid_argument);
    EXPECT_THROW(Encoder(out).value(Value(Handle())), std::invalid_argument);
}

TEST(HostCodec, DecodesResponsesWithAllValueKinds) {
    Response r =
        decode(hex("0800000000000000000400 08 03000000"
                   "0501000000 61 07 02000000 03ffffffffffffff7f 0400000000000000 80"
                   "0501000000 62 09 2a00000000000000 0300000046 6f 6f"
                   "0601000000 63 06 03000000 00ff00"));
    EXPECT_EQ(r.type, CommandType::Value);
    const Map& m = r.value.asMap();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m.at("a").asList()[0].asInt(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(m.at("a").asList()[1].asDouble(), -0.0);
    EXPECT_EQ(m.at("b").asHandle().id(), 42u);
    EXPECT_EQ(m.at("b").asHandle().type(), "Foo");
    EXPECT_EQ(m.at("c").as<Bytes>().data, std::string("\0\xff\0", 3));
    EXPECT_THROW(m.at("c").asInt(), std::runtime_error);
}

TEST(HostCodec, MalformedResponsesSayWhatAndWhere) {
    EXPECT_EQ(malformedText(hex("0800")), "Malformed response: 2 bytes are shorter than the 11-byte header");
    EXPECT_EQ(malformedText(hex("0800000000000000000400")), "Malformed response: value is cut off at offset 11");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 63")), "Malformed response: unknown type tag 99 at offset 11");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 03 0102")),
              "Malformed response: int64 is cut off at offset 11");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 05 ffffffff 41")),
              "Malformed response: string claims 4294967295 bytes at offset 11");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 07 ffffff7f")),
              "Malformed response: list claims 2147483647 entries at offset 11");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 08 01000000 03010000000000000000")),
              "Malformed response: map key is int64 at offset 16");
    EXPECT_EQ(malformedText(hex("0800000000000000000400 00 00")), "Malformed response: 1 bytes left over at offset 12");
    std::vector<byte> deep = hex("0800000000000000000400");
    for (int i = 0; i < 100; ++i) deep.insert(deep.end(), {7, 1, 0, 0, 0});
    deep.push_back(0);
    EXPECT_EQ(malformedText(deep), "Malformed response: list nested deeper than 64 levels at offset 336");
}
