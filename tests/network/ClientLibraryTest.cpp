// ClientLibraryTest.cpp: the TCP and TLS client libraries against a framed server inside the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "ErrorText.h"
#include "NetworkSupport.h"

namespace veltrix::test::network {

namespace {

bool Echo(const Bytes& command, Wire::SocketStream&, Bytes& response) {
    response = command;
    return true;
}

class ClientLibraries : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certificates_ = new Certificates(); }
    static void TearDownTestSuite() {
        delete certificates_;
        certificates_ = nullptr;
    }
    static const Certificates& Certs() { return *certificates_; }
    // The client trusts the test CA.
    ScopedEnv ca_{"VELTRIX_TLS_CA_FILE", nullptr};

private:
    static Certificates* certificates_;
};
Certificates* ClientLibraries::certificates_ = nullptr;

TEST_F(ClientLibraries, ExportOnlyTheChannelFactory) {
    for (const char* name : {"/VeltrixTcpClient.dll", "/VeltrixTcpTlsClient.dll"}) {
        std::string path = std::string(VELTRIX_NATIVE_DIR) + name;
        // Defined dynamic symbols that are functions or objects (nm types T, D, B, R, V, W in any case).
        std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(("nm -D --defined-only " + path).c_str(), "r"), pclose);
        ASSERT_NE(nm, nullptr);
        std::vector<std::string> exported;
        char line[1024];
        while (fgets(line, sizeof line, nm.get()) != nullptr) {
            std::string text(line);
            auto space = text.rfind(' ');
            if (space == std::string::npos || space < 2) continue;
            char type = text[space - 1];
            if (std::string("TtDdBbRrVvWw").find(type) == std::string::npos) continue;
            exported.push_back(text.substr(space + 1, text.size() - space - 2));
        }
        EXPECT_EQ(exported, std::vector<std::string>{"CreateTransportChannel"}) << name;
    }
}

TEST_F(ClientLibraries, TcpCommandsOfEverySizeRoundTripOnOneConnection) {
    TestServer server(Echo);
    ClientLibrary library(false);
    auto channel = library.Channel("127.0.0.1", server.Port());
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->Initialize(8, 4, 0), 0);
    for (std::size_t size : {0u, 1u, 11u, 100u, 70000u, 1u << 20, 3u}) {
        Bytes command(size);
        for (std::size_t i = 0; i < size; ++i) command[i] = static_cast<std::uint8_t>(i * 31 + size);
        EXPECT_EQ(RoundTrip(*channel, command), command) << size << " bytes";
    }
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(ClientLibraries, ReadResponseCopiesAtMostTheBufferAndRefusesWithoutACommand) {
    TestServer server(Echo);
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_NE(errorOf([&] {
                  std::uint8_t buffer[4];
                  channel->ReadResponse(buffer, 4);
              }).find("there is no response to read"),
              std::string::npos);
    Bytes command = Message("hello");
    ASSERT_EQ(channel->SendCommand(command.data(), static_cast<int>(command.size())), 16);
    std::uint8_t part[5] = {};
    EXPECT_EQ(channel->ReadResponse(part, 5), 5);
    EXPECT_EQ(std::string(part, part + 5), std::string(command.begin(), command.begin() + 5));
    EXPECT_NE(errorOf([&] { channel->SendCommand(nullptr, 5); }).find("invalid command buffer (length 5)"),
              std::string::npos);
}

TEST_F(ClientLibraries, TlsCommandsRoundTripWithTheServerVerifiedByAddressAndByName) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", Certs().Path("ca.pem").c_str());
    TestServer server(Echo, &Certs());
    ClientLibrary library(true);
    auto byAddress = library.Channel("127.0.0.1", server.Port());
    EXPECT_EQ(byAddress->Initialize(8, 4, 0), 0);
    for (std::size_t size : {0u, 11u, 20000u, 1u << 20}) {
        Bytes command(size, static_cast<std::uint8_t>(size));
        EXPECT_EQ(RoundTrip(*byAddress, command), command) << size << " bytes";
    }
    ScopedEnv name("VELTRIX_TLS_SERVER_NAME", "localhost");
    auto byName = library.Channel("127.0.0.1", server.Port());
    EXPECT_EQ(RoundTrip(*byName, Message("by name")), Message("by name"));
}

TEST_F(ClientLibraries, TlsRefusesAnUntrustedServerWithAClearMessageOnBothSides) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", Certs().Path("rogue-ca.pem").c_str());
    TestServer server(Echo, &Certs());
    auto channel = ClientLibrary(true).Channel("127.0.0.1", server.Port());
    std::string error = errorOf([&] { channel->Initialize(8, 4, 0); });
    EXPECT_NE(error.find("VeltrixTcpTlsClient: 127.0.0.1:" + std::to_string(server.Port()) + ": cannot connect"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("certificate verify failed"), std::string::npos) << error;
    EXPECT_NE(error.find("unable to get local issuer certificate"), std::string::npos) << error;
    // The server saw the client's alert.
    for (int i = 0; i < 200 && server.LastError().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(server.LastError().find("unknown ca"), std::string::npos) << server.LastError();
}

TEST_F(ClientLibraries, TlsRefusesACertificateForAnotherName) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", Certs().Path("ca.pem").c_str());
    ScopedEnv name("VELTRIX_TLS_SERVER_NAME", "runtime.example.org");
    TestServer server(Echo, &Certs());
    std::string error = errorOf([&] { ClientLibrary(true).Channel("127.0.0.1", server.Port())->Initialize(8, 4, 0); });
    EXPECT_NE(error.find("hostname mismatch"), std::string::npos) << error;
}

TEST_F(ClientLibraries, MutualTlsNeedsAClientCertificateFromTheTrustedCa) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", Certs().Path("ca.pem").c_str());
    TestServer server(Echo, &Certs(), Certs().Path("ca.pem"));
    ClientLibrary library(true);
    {
        std::string error = errorOf([&] { RoundTrip(*library.Channel("127.0.0.1", server.Port()), Message("x")); });
        EXPECT_NE(error.find("VeltrixTcpTlsClient: 127.0.0.1:"), std::string::npos) << error;
        EXPECT_NE(error.find("certificate"), std::string::npos) << error;
    }
    {
        ScopedEnv cert("VELTRIX_TLS_CERT_FILE", Certs().Path("rogue-client.pem").c_str());
        ScopedEnv key("VELTRIX_TLS_KEY_FILE", Certs().Path("rogue-client.key").c_str());
        std::string error = errorOf([&] { RoundTrip(*library.Channel("127.0.0.1", server.Port()), Message("x")); });
        EXPECT_NE(error.find("VeltrixTcpTlsClient"), std::string::npos) << error;
        // The server's record of the first refusal may still be the last one: wait for this one.
        for (int i = 0; i < 200 && server.LastError().find("certificate verify failed") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_NE(server.LastError().find("certificate verify failed"), std::string::npos) << server.LastError();
    }
    ScopedEnv cert("VELTRIX_TLS_CERT_FILE", Certs().Path("client.pem").c_str());
    ScopedEnv key("VELTRIX_TLS_KEY_FILE", Certs().Path("client.key").c_str());
    EXPECT_EQ(RoundTrip(*library.Channel("127.0.0.1", server.Port()), Message("mutual")), Message("mutual"));
}

TEST_F(ClientLibraries, TlsSettingsThatCannotBeUsedAreNamed) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", "/nonexistent/ca.pem");
    TestServer server(Echo, &Certs());
    std::string error = errorOf([&] { ClientLibrary(true).Channel("127.0.0.1", server.Port())->Initialize(8, 4, 0); });
    EXPECT_NE(error.find("cannot read the CA file (VELTRIX_TLS_CA_FILE) /nonexistent/ca.pem"), std::string::npos)
        << error;
    ScopedEnv good("VELTRIX_TLS_CA_FILE", Certs().Path("ca.pem").c_str());
    ScopedEnv cert("VELTRIX_TLS_CERT_FILE", Certs().Path("client.pem").c_str());
    error = errorOf([&] { ClientLibrary(true).Channel("127.0.0.1", server.Port())->Initialize(8, 4, 0); });
    EXPECT_NE(error.find("needs both VELTRIX_TLS_CERT_FILE and VELTRIX_TLS_KEY_FILE"), std::string::npos) << error;
}

TEST_F(ClientLibraries, ServerNotRunningIsAClearErrorAndTheNextCommandTriesAgain) {
    unsigned short port;
    {
        TestServer gone(Echo);
        port = gone.Port();
    }
    auto channel = ClientLibrary(false).Channel("127.0.0.1", port);
    std::string error = errorOf([&] { channel->Initialize(8, 4, 0); });
    EXPECT_EQ(error, "VeltrixTcpClient: 127.0.0.1:" + std::to_string(port) + ": cannot connect: Connection refused");
    error = errorOf([&] { RoundTrip(*channel, Message("again")); });
    EXPECT_NE(error.find("cannot connect: Connection refused"), std::string::npos) << error;
}

TEST_F(ClientLibraries, ServerGoneMidCommandFailsThatCommandAndTheNextReconnects) {
    int calls = 0;
    TestServer server([&](const Bytes& command, Wire::SocketStream&, Bytes& response) {
        if (++calls == 2) return false;  // drop the connection instead of answering the second command
        response = command;
        return true;
    });
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(RoundTrip(*channel, Message("one")), Message("one"));
    std::string error = errorOf([&] { RoundTrip(*channel, Message("two")); });
    EXPECT_NE(error.find("the server closed the connection before answering; the next command opens a new connection"),
              std::string::npos)
        << error;
    EXPECT_EQ(RoundTrip(*channel, Message("three")), Message("three"));
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(ClientLibraries, AResponseThatNeverComesTimesOut) {
    ScopedEnv timeout("VELTRIX_TCP_IO_TIMEOUT_MS", "300");
    TestServer server([](const Bytes&, Wire::SocketStream& socket, Bytes&) {
        socket.WaitReadable(Wire::Milliseconds(5000));  // until the client gives up and closes
        return false;
    });
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    auto start = std::chrono::steady_clock::now();
    std::string error = errorOf([&] { RoundTrip(*channel, Message("hello?")); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(error.find("no answer within 300 ms (VELTRIX_TCP_IO_TIMEOUT_MS)"), std::string::npos) << error;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

TEST_F(ClientLibraries, TlsResponseThatNeverComesTimesOut) {
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", Certs().Path("ca.pem").c_str());
    ScopedEnv timeout("VELTRIX_TCP_IO_TIMEOUT_MS", "300");
    TestServer server(
        [](const Bytes&, Wire::SocketStream& socket, Bytes&) {
            socket.WaitReadable(Wire::Milliseconds(5000));
            return false;
        },
        &Certs());
    std::string error =
        errorOf([&] { RoundTrip(*ClientLibrary(true).Channel("127.0.0.1", server.Port()), Message("?")); });
    EXPECT_NE(error.find("no answer within 300 ms"), std::string::npos) << error;
}

TEST_F(ClientLibraries, FramesAboveTheMaximumAreRefusedOnBothWays) {
    ScopedEnv limit("VELTRIX_TCP_MAX_FRAME_BYTES", "1000");
    TestServer server([](const Bytes& command, Wire::SocketStream&, Bytes& response) {
        response.assign(command.size() * 2, 7);  // twice as long as the command
        return true;
    });
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    Bytes big(1001, 1);
    std::string error = errorOf([&] { RoundTrip(*channel, big); });
    EXPECT_NE(error.find("command of 1001 bytes exceeds the maximum frame size of 1000 bytes "
                         "(VELTRIX_TCP_MAX_FRAME_BYTES)"),
              std::string::npos)
        << error;
    EXPECT_EQ(RoundTrip(*channel, Bytes(500, 1)).size(), 1000u);
    EXPECT_EQ(server.Connections(), 1);  // the refusal sent nothing and kept the connection
    error = errorOf([&] { RoundTrip(*channel, Bytes(501, 1)); });
    EXPECT_NE(error.find("frame of 1002 bytes exceeds the maximum of 1000 bytes"), std::string::npos) << error;
}

TEST_F(ClientLibraries, BadSettingsAreNamed) {
    ScopedEnv timeout("VELTRIX_TCP_IO_TIMEOUT_MS", "soon");
    TestServer server(Echo);
    std::string error = errorOf([&] { ClientLibrary(false).Channel("127.0.0.1", server.Port())->Initialize(8, 4, 0); });
    EXPECT_NE(error.find("VELTRIX_TCP_IO_TIMEOUT_MS must be a whole number from 1 to 86400000, not 'soon'"),
              std::string::npos)
        << error;
}

TEST_F(ClientLibraries, AConnectionTheServerClosedWhileIdleIsReopenedSilently) {
    TestServer server([](const Bytes& command, Wire::SocketStream& socket, Bytes&) {
        // Answer, then hang up as an idle time-out would.
        Bytes scratch;
        Wire::WriteFrame(socket, Wire::FrameKind::Response, command.data(), static_cast<std::uint32_t>(command.size()),
                         scratch, false);
        return false;
    });
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(RoundTrip(*channel, Message("first")), Message("first"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(RoundTrip(*channel, Message("second")), Message("second"));
    EXPECT_EQ(server.Connections(), 2);
}

}  // namespace
}  // namespace veltrix::test::network
