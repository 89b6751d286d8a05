// EndToEndTest.cpp: the real Perl runtime behind veltrix-server, reached from the bridge's exported SendCommand
// through the real TCP and TLS client libraries.
#include <gtest/gtest.h>

#include <cstring>

#include "NetworkSupport.h"
#include "TempProductTree.h"

namespace veltrix::test::network {
namespace {

namespace fs = std::filesystem;

void PutU32(Bytes& out, std::uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
void PutString(Bytes& out, const std::string& text) {
    out.push_back(0x05);
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}
void PutInt(Bytes& out, std::int64_t v) {
    out.push_back(0x03);
    for (int s = 0; s < 64; s += 8) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> s));
}

// A command for Perl over channel `channel` (1 TCP, 2 TLS) to 127.0.0.1:port; arguments already encoded.
Bytes Command(std::uint8_t channel, unsigned short port, std::uint8_t type, std::uint32_t count, const Bytes& args) {
    Bytes m{
        4, 0,    channel, 127, 0, 0, 1, static_cast<std::uint8_t>(port & 0xff), static_cast<std::uint8_t>(port >> 8),
        8, type, 0};
    PutU32(m, count);
    m.insert(m.end(), args.begin(), args.end());
    return m;
}

// A product tree with the bridge, its Perl modules, Utils.dll, the client libraries and the OpenSSL links,
// served by veltrix-server and called through the bridge loaded in this process.
class EndToEnd : public ::testing::Test {
protected:
    EndToEnd() {
        tree_.addBridge();
        tree_.addProductPerlModules();
        for (const char* name : {"Utils.dll", "VeltrixTcpClient.dll", "VeltrixTcpTlsClient.dll"}) {
            tree_.addNativeLibrary(fs::path(VELTRIX_NATIVE_DIR) / name);
        }
        fs::create_symlink(fs::read_symlink(fs::path(VELTRIX_NATIVE_DIR) / "libcrypto-3-x64.dll"),
                           tree_.nativeDir() / "libcrypto-3-x64.dll");
        fs::create_symlink(fs::read_symlink(fs::path(VELTRIX_NATIVE_DIR) / "libssl-3-x64.dll"),
                           tree_.nativeDir() / "libssl-3-x64.dll");
        tree_.writeFile("scripts/boom.pl", "package Boom; sub go { die \"Whoopsie [expected]\\n\" } 1;\n");
    }
    void LoadBridge() {
        bridge_ = std::make_unique<Library>((tree_.nativeDir() / "VeltrixPerl540RuntimeNative.dll").string());
        sendCommand_ = bridge_->get<int (*)(byte*, int32_t)>("SendCommand");
        readResponse_ = bridge_->get<int (*)(byte*, int32_t)>("ReadResponse");
        getNativeError_ = bridge_->get<const char* (*)()>("GetNativeError");
        bridge_->leak();  // its transports and channels live for the process
    }
    // The response through the exported functions; a negative SendCommand result fails with GetNativeError.
    Bytes Call(const Bytes& command) {
        Bytes message = command;
        int length = sendCommand_(message.data(), static_cast<int32_t>(message.size()));
        if (length < 0) throw std::runtime_error(std::to_string(length) + ": " + getNativeError_());
        Bytes response(static_cast<std::size_t>(length));
        EXPECT_EQ(readResponse_(response.data(), length), length);
        return response;
    }
    void ExpectServed(std::uint8_t channel, unsigned short port) {
        Bytes heartBeat{
            4, 0,  channel, 127, 0, 0, 1, static_cast<std::uint8_t>(port & 0xff), static_cast<std::uint8_t>(port >> 8),
            8, 11, 0x31,    0x32};
        EXPECT_EQ(Call(heartBeat), (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 11, 0x31, 0x32}));
        Bytes args;
        PutString(args, "List::Util::sum");
        for (int i = 1; i <= 3; ++i) PutInt(args, i);
        Bytes sum = Call(Command(channel, port, 16, 4, args));
        EXPECT_EQ(sum, (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 3, 6, 0, 0, 0, 0, 0, 0, 0}));
        Bytes load;
        PutString(load, (tree_.root() / "scripts/boom.pl").string());
        EXPECT_EQ(Call(Command(channel, port, 1, 1, load))[10], 0);
        Bytes go;
        PutString(go, "Boom::go");
        Bytes died = Call(Command(channel, port, 16, 1, go));
        ASSERT_GT(died.size(), 11u);
        EXPECT_EQ(died[10], 10);  // Exception
        const std::string marker = "Whoopsie [expected]\n";
        EXPECT_NE(std::string(died.begin(), died.end()).find(marker), std::string::npos);
        EXPECT_EQ(Call(Command(channel, port, 16, 4, args)), sum);  // the interpreter still serves
    }

    TempProductTree tree_;
    std::unique_ptr<Library> bridge_;
    int (*sendCommand_)(byte*, int32_t) = nullptr;
    int (*readResponse_)(byte*, int32_t) = nullptr;
    const char* (*getNativeError_)() = nullptr;
};

TEST_F(EndToEnd, PerlAnswersOverTcpThroughTheBridgeAndADieComesBackAsAnException) {
    ServerProcess server({"--port", "0", "--product", tree_.root().string()});
    LoadBridge();
    ExpectServed(1, server.Port());
}

TEST_F(EndToEnd, PerlAnswersOverTlsThroughTheBridge) {
    Certificates certs;
    ServerProcess server({"--port", "0", "--product", tree_.root().string(), "--tls", "--cert",
                          certs.Path("server.pem"), "--key", certs.Path("server.key")});
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", certs.Path("ca.pem").c_str());
    LoadBridge();
    ExpectServed(2, server.Port());
    EXPECT_TRUE(server.WaitForLog("opened (TLS)"));
}

TEST_F(EndToEnd, AServerThatIsNotRunningIsAMinusTwoWithTheClientsMessage) {
    unsigned short port;
    {
        ServerProcess gone({"--port", "0", "--product", tree_.root().string()});
        port = gone.Port();
    }
    LoadBridge();
    Bytes heartBeat{
        4, 0,  1,    127, 0, 0, 1, static_cast<std::uint8_t>(port & 0xff), static_cast<std::uint8_t>(port >> 8),
        8, 11, 0x31, 0x32};
    EXPECT_EQ(sendCommand_(heartBeat.data(), static_cast<int32_t>(heartBeat.size())), -2);
    EXPECT_EQ(std::string(getNativeError_()),
              "VeltrixTcpClient: 127.0.0.1:" + std::to_string(port) + ": cannot connect: Connection refused");
    // Started again on the same port, the server is reached by the next command.
    ServerProcess again({"--port", std::to_string(port), "--product", tree_.root().string()});
    EXPECT_EQ(Call(heartBeat), (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 11, 0x31, 0x32}));
}

}  // namespace
}  // namespace veltrix::test::network
