// ServerTest.cpp: veltrix-server with a stand-in runtime: serving, Exception answers, bad input and faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "ErrorText.h"
#include "NetworkSupport.h"
#include "TempProductTree.h"

namespace veltrix::test::network {

namespace {

std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The `message` of an Exception response (map of three strings); empty when the response is not one.
std::string ExceptionMessage(const Bytes& response) {
    if (response.size() < 16 || response[10] != 10 || response[11] != 0x08 || U32(response, 12) != 3) return "";
    std::size_t at = 16;
    auto string = [&](std::string& out) {
        if (at + 5 > response.size() || response[at] != 0x05) return false;
        std::uint32_t length = U32(response, at + 1);
        if (at + 5 + length > response.size()) return false;
        out.assign(response.begin() + static_cast<long>(at + 5), response.begin() + static_cast<long>(at + 5 + length));
        at += 5 + length;
        return true;
    };
    std::string key, message, classKey, className, stackKey, stack;
    if (!string(key) || key != "message" || !string(message) || !string(classKey) || classKey != "class" ||
        !string(className) || !string(stackKey) || stackKey != "stack" || !string(stack) || at != response.size()) {
        return "";
    }
    return message;
}

class RuntimeServer : public ::testing::Test {
protected:
    RuntimeServer() { tree_.addNativeLibrary(VELTRIX_STANDIN_RECEIVER, "VeltrixPerl540RuntimeNative.dll"); }
    std::vector<std::string> Arguments(std::vector<std::string> extra) const {
        std::vector<std::string> arguments{"--port", "0", "--product", tree_.root().string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    TempProductTree tree_;
};

TEST_F(RuntimeServer, ServesCommandsInOrderAndInitialisesTheRuntimeOnce) {
    ServerProcess server(Arguments({}));
    ClientLibrary library(false);
    auto first = library.Channel("127.0.0.1", server.Port());
    Bytes hello = Message("hello");
    hello[1] = 4;
    Bytes response = RoundTrip(*first, hello);
    EXPECT_EQ(response, (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 'h', 'e', 'l', 'l', 'o'}));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(Text(RoundTrip(*first, Message(std::to_string(i))), 11), std::to_string(i));
    auto second = library.Channel("127.0.0.1", server.Port());
    Bytes other = Message("init");
    other[9] = 6;
    // Calling runtime 8 and version 4 came with the first command; nobody initialises again.
    EXPECT_EQ(Text(RoundTrip(*second, other), 11), "8,4,4;");
    first.reset();
    EXPECT_TRUE(server.WaitForLog("closed after 51 commands: closed by the client"));
    std::string log = server.Log();
    EXPECT_NE(log.find("veltrix-server: connection #1 from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" opened (TCP)"), std::string::npos) << log;
}

TEST_F(RuntimeServer, ReceiverFailuresAndShortCommandsComeBackAsExceptionResponses) {
    ServerProcess server(Arguments({}));
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    Bytes response = RoundTrip(*channel, Message("die:Whoopsie [expected] \xC3\xA9"));
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 11), (Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 10}));
    EXPECT_EQ(ExceptionMessage(response), "Whoopsie [expected] \xC3\xA9");
    EXPECT_EQ(ExceptionMessage(RoundTrip(*channel, Bytes{4, 0, 1, 2, 3})),
              "veltrix-server: command of 5 bytes is shorter than the 11-byte message header");
    // Invalid UTF-8 in an error text cannot break the string encoding.
    EXPECT_EQ(ExceptionMessage(RoundTrip(*channel, Message("die:bad \xFF\xC3 end"))), "bad ?? end");
    EXPECT_EQ(Text(RoundTrip(*channel, Message("still here")), 11), "still here");
}

TEST_F(RuntimeServer, GarbageBytesAreRefusedAndOtherClientsAreStillServed) {
    ServerProcess server(Arguments({}));
    RawConnection garbage(server.Port());
    garbage.Send(std::string("GET / HTTP/1.1\r\n\r\n").data(), 18);
    auto [kind, body] = garbage.ReadFrame();
    EXPECT_EQ(kind, Wire::FrameKind::Error);
    EXPECT_EQ(Text(body), "not a Veltrix frame (first bytes 0x47 0x45, expected 0x56 0x58 \"VX\")");
    EXPECT_TRUE(garbage.ClosedByPeer());
    RawConnection wrongKind(server.Port());
    wrongKind.Send(Frame(Wire::FrameKind::Response, Message("x")));
    EXPECT_EQ(Text(wrongKind.ReadFrame().second), "expected a command frame, got kind 2");
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("fine")), 11), "fine");
    EXPECT_TRUE(server.WaitForLog("refused a frame: not a Veltrix frame"));
}

TEST_F(RuntimeServer, OversizedFramesAreRefusedWithTheLimitNamed) {
    ServerProcess server(Arguments({"--max-frame-bytes", "1000"}));
    RawConnection raw(server.Port());
    Bytes header(Wire::Limits::FrameHeaderLength);
    Wire::EncodeHeader(header.data(), Wire::FrameKind::Command, 5000);
    raw.Send(header);
    EXPECT_EQ(Text(raw.ReadFrame().second), "frame of 5000 bytes exceeds the maximum of 1000 bytes");
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    for (std::size_t size : {2000u, 4u << 20}) {
        std::string error = errorOf([&] { RoundTrip(*channel, Bytes(size, 'x')); });
        EXPECT_NE(error.find("the server refused the command: frame of " + std::to_string(size) +
                             " bytes exceeds the maximum of 1000 bytes"),
                  std::string::npos)
            << error;
    }
    EXPECT_EQ(Text(RoundTrip(*channel, Message("small")), 11), "small");
}

TEST_F(RuntimeServer, HalfSentFramesAndVanishingClientsDoNotDisturbTheServer) {
    ServerProcess server(Arguments({}));
    {
        RawConnection raw(server.Port());
        Bytes frame = Frame(Wire::FrameKind::Command, Message("cut short"));
        raw.Send(frame.data(), 12);
    }
    EXPECT_TRUE(server.WaitForLog("the client disconnected in the middle of a frame"));
    {
        RawConnection raw(server.Port());
        raw.Send(Frame(Wire::FrameKind::Command, Message("sleep:200")));  // gone before the answer
    }
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("after")), 11), "after");
    // The answer to the vanished client went into the void; its connection then ended normally.
    EXPECT_TRUE(server.WaitForLog("closed after 1 command: closed by the client")) << server.Log();
}

TEST_F(RuntimeServer, SlowAndIdleClientsAreCutOffWhileOthersAreServed) {
    ServerProcess server(Arguments({"--idle-timeout-ms", "400", "--io-timeout-ms", "300"}));
    RawConnection idle(server.Port());
    RawConnection slow(server.Port());
    Bytes frame = Frame(Wire::FrameKind::Command, Message("slow"));
    slow.Send(frame.data(), 10);
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("quick")), 11), "quick");
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(slow.ClosedByPeer(3000));
    EXPECT_TRUE(idle.ClosedByPeer(3000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(server.WaitForLog("frame not complete within 300 ms"));
    EXPECT_TRUE(server.WaitForLog("idle for 400 ms (idle time-out)"));
    // The client's own connection went idle too; its next command reconnects on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(Text(RoundTrip(*channel, Message("again")), 11), "again");
}

TEST_F(RuntimeServer, AServerKilledMidCommandFailsThatCommandAndTheNextReconnects) {
    auto server = std::make_unique<ServerProcess>(Arguments({}));
    unsigned short port = server->Port();
    auto channel = ClientLibrary(false).Channel("127.0.0.1", port);
    EXPECT_EQ(Text(RoundTrip(*channel, Message("before")), 11), "before");
    std::thread killer([pid = server->Pid()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(pid, SIGKILL);
    });
    std::string error = errorOf([&] { RoundTrip(*channel, Message("sleep:5000")); });
    killer.join();
    EXPECT_NE(error.find("VeltrixTcpClient: 127.0.0.1:" + std::to_string(port) +
                         ": command failed: the server closed the connection before answering"),
              std::string::npos)
        << error;
    server.reset();
    ServerProcess again(Arguments({"--port", std::to_string(port)}));
    EXPECT_EQ(Text(RoundTrip(*channel, Message("after")), 11), "after");
}

TEST_F(RuntimeServer, AThousandConnectionsOpenedAndClosedLeaveItServing) {
    ServerProcess server(Arguments({}));
    for (int i = 0; i < 1000; ++i) {
        RawConnection raw(server.Port());
        if (i % 10 == 0) {
            raw.Send(Frame(Wire::FrameKind::Command, Message("n")));
            ASSERT_EQ(raw.ReadFrame().first, Wire::FrameKind::Response) << i;
        }
    }
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("alive")), 11), "alive");
    EXPECT_TRUE(server.WaitForLog("connection #1000 from"));
}

TEST_F(RuntimeServer, TlsServesTrustedClientsAndRefusesUntrustedOnesWithClearMessages) {
    Certificates certs;
    ServerProcess server(Arguments({"--tls", "--cert", certs.Path("server.pem"), "--key", certs.Path("server.key"),
                                    "--client-ca", certs.Path("ca.pem")}));
    ClientLibrary library(true);
    ScopedEnv ca("VELTRIX_TLS_CA_FILE", certs.Path("ca.pem").c_str());
    {
        ScopedEnv cert("VELTRIX_TLS_CERT_FILE", certs.Path("rogue-client.pem").c_str());
        ScopedEnv key("VELTRIX_TLS_KEY_FILE", certs.Path("rogue-client.key").c_str());
        std::string error = errorOf([&] { RoundTrip(*library.Channel("127.0.0.1", server.Port()), Message("x")); });
        EXPECT_NE(error.find("VeltrixTcpTlsClient: 127.0.0.1:"), std::string::npos) << error;
        EXPECT_NE(error.find("unknown ca"), std::string::npos) << error;
        EXPECT_TRUE(server.WaitForLog("TLS handshake failed: certificate verify failed")) << server.Log();
    }
    {
        ScopedEnv rogue("VELTRIX_TLS_CA_FILE", certs.Path("rogue-ca.pem").c_str());
        std::string error = errorOf([&] { RoundTrip(*library.Channel("127.0.0.1", server.Port()), Message("x")); });
        EXPECT_NE(error.find("TLS handshake failed: certificate verify failed"), std::string::npos) << error;
        EXPECT_TRUE(server.WaitForLog("tlsv1 alert unknown ca")) << server.Log();
    }
    ScopedEnv cert("VELTRIX_TLS_CERT_FILE", certs.Path("client.pem").c_str());
    ScopedEnv key("VELTRIX_TLS_KEY_FILE", certs.Path("client.key").c_str());
    auto channel = library.Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("secret")), 11), "secret");
    EXPECT_EQ(ExceptionMessage(RoundTrip(*channel, Message("die:over TLS"))), "over TLS");
    EXPECT_TRUE(server.WaitForLog("opened (TLS)"));
}

TEST_F(RuntimeServer, StopsCleanlyOnSigtermWithConnectionsOpen) {
    ServerProcess server(Arguments({}));
    RawConnection idle(server.Port());
    auto channel = ClientLibrary(false).Channel("127.0.0.1", server.Port());
    EXPECT_EQ(Text(RoundTrip(*channel, Message("bye")), 11), "bye");
    auto start = std::chrono::steady_clock::now();
    int status = server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(idle.ClosedByPeer(1000));
    EXPECT_NE(server.Log().find("veltrix-server: stopped"), std::string::npos) << server.Log();
}

TEST_F(RuntimeServer, RefusesToStartWithoutARuntimeOrWithBadOptions) {
    EXPECT_THROW(ServerProcess({"--port", "0", "--product", "/nonexistent"}), std::runtime_error);
    try {
        ServerProcess({"--port", "0", "--product", "/nonexistent"});
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("veltrix-server: Cannot load the Perl bridge /nonexistent/Binaries"),
                  std::string::npos)
            << error.what();
    }
    try {
        ServerProcess({"--port", "seventy"});
        ADD_FAILURE() << "started with a bad port";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("--port needs a number from 0 to 65535, not 'seventy'"),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace veltrix::test::network
