// NetworkTest.cpp: the TCP and TLS client libraries against veltrix-server's core in this process, with a fake
// command handler: round trips, TLS checks, refused frames, time-outs, reconnection, many clients at once.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "ErrorText.h"
#include "Messages.h"
#include "NetworkSupport.h"

namespace veltrix::test::network {
namespace {

std::string Prefix(bool tls, unsigned short port) {
    return (tls ? "VeltrixTcpTlsClient: 127.0.0.1:" : "VeltrixTcpClient: 127.0.0.1:") + std::to_string(port) + ": ";
}

class Network : public ::testing::Test {
protected:
    void SetUp() override { UseClientSettings(); }
};

// Parameter: TLS (or plain TCP).
class Channels : public Network, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(TcpAndTls, Channels, ::testing::Bool());

TEST_F(Network, ClientLibrariesExportOnlyTheChannelFactory) {
    for (std::string name : {"/VeltrixTcpClient.dll", "/VeltrixTcpTlsClient.dll"}) {
        EXPECT_EQ(Output("nm -D --defined-only " VELTRIX_NATIVE_DIR + name +
                         " | awk 'toupper($2) ~ /^[TDBRVW]$/ {print $3}'"),
                  "CreateTransportChannel\n");
    }
}

// Commands of every size on one connection, the server verified by address or name; a response read in part;
// an answer that never comes.
TEST_P(Channels, CommandsRoundTripAndAResponseThatNeverComesTimesOut) {
    std::promise<void> answer;
    InProcessServer server(GetParam() ? TlsConfig() : ServerConfig{},
                           [later = answer.get_future().share()](const Bytes& command, Bytes& response) {
                               if (command == Bytes{0xFF}) later.wait_for(10s);
                               response = command;
                           });
    const std::string prefix = Prefix(GetParam(), server.Port());
    auto channel = Channel(GetParam(), server.Port());
    std::uint8_t buffer[4];
    EXPECT_EQ(errorOf([&] { channel->ReadResponse(buffer, 4); }), prefix + "there is no response to read");
    EXPECT_EQ(channel->Initialize(8, 4, 0), 0);
    for (std::size_t size : {0u, 1u, 11u, 70000u, 1u << 20, 3u}) {
        Bytes command(size);
        for (std::size_t i = 0; i < size; ++i) command[i] = static_cast<std::uint8_t>(i * 31 + size);
        EXPECT_EQ(RoundTrip(*channel, command), command) << size << " bytes";
    }
    Bytes six{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(channel->SendCommand(six.data(), 6), 6);
    EXPECT_EQ(channel->ReadResponse(buffer, 4), 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(errorOf([&] { channel->ReadResponse(nullptr, 4); }), prefix + "invalid response buffer (length 4)");
    EXPECT_EQ(errorOf([&] { channel->SendCommand(nullptr, 5); }), prefix + "invalid command buffer (length 5)");
    UseClientSettings({{"VELTRIX_TLS_SERVER_NAME", "localhost"}, {"VELTRIX_TCP_IO_TIMEOUT_MS", "300"}});
    channel = Channel(GetParam(), server.Port());
    EXPECT_EQ(RoundTrip(*channel, {1, 2}), (Bytes{1, 2}));
    EXPECT_EQ(server.Count(GetParam() ? "opened (TLS)" : "opened (TCP)"), 2);
    EXPECT_EQ(errorOf([&] { RoundTrip(*channel, {0xFF}); }),
              prefix +
                  "command failed: no answer within 300 ms (VELTRIX_TCP_IO_TIMEOUT_MS): timed out while reading "
                  "a frame; the next command opens a new connection");
    answer.set_value();
}

TEST_F(Network, TlsRefusalsAndUnusableSettingsNameTheReasonOnBothSides) {
    const Certificates& c = Certificates::shared();
    InProcessServer plain(TlsConfig()), mutual(TlsConfig(true));
    const struct {
        InProcessServer& server;
        Settings settings;
        std::string clientError, serverLog;
    } cases[] = {
        {plain,
         {{"VELTRIX_TLS_CA_FILE", c.path("rogue-ca.pem")}},
         "cannot connect: TLS handshake failed: certificate verify failed (SSL routines) (unable to get local issuer "
         "certificate)",
         "TLS handshake failed: tlsv1 alert unknown ca"},
        {plain, {{"VELTRIX_TLS_SERVER_NAME", "runtime.example.org"}}, "(hostname mismatch)", ""},
        {plain,
         {{"VELTRIX_TLS_CA_FILE", "/nonexistent/ca.pem"}},
         "cannot connect: cannot read the CA file (VELTRIX_TLS_CA_FILE) /nonexistent/ca.pem",
         ""},
        {plain,
         {{"VELTRIX_TLS_CERT_FILE", c.path("client.pem")}},
         "cannot connect: a client certificate needs both VELTRIX_TLS_CERT_FILE and VELTRIX_TLS_KEY_FILE",
         ""},
        {plain,
         {{"VELTRIX_TCP_IO_TIMEOUT_MS", "soon"}},
         "cannot connect: VELTRIX_TCP_IO_TIMEOUT_MS must be a whole number from 1 to 86400000, not 'soon'",
         ""},
        {mutual, {}, "certificate required", "TLS handshake failed: peer did not return a certificate"},
        {mutual,
         {{"VELTRIX_TLS_CERT_FILE", c.path("rogue-client.pem")}, {"VELTRIX_TLS_KEY_FILE", c.path("rogue-client.key")}},
         "unknown ca",
         "TLS handshake failed: certificate verify failed"},
    };
    for (const auto& test : cases) {
        UseClientSettings(test.settings);
        std::string error = errorOf([&] { RoundTrip(*Channel(true, test.server.Port()), {1}); });
        EXPECT_EQ(error.rfind(Prefix(true, test.server.Port()), 0), 0u) << error;
        EXPECT_NE(error.find(test.clientError), std::string::npos) << error;
        EXPECT_TRUE(test.server.WaitForLog(test.serverLog)) << test.server.Log();
    }
    UseClientSettings(
        {{"VELTRIX_TLS_CERT_FILE", c.path("client.pem")}, {"VELTRIX_TLS_KEY_FILE", c.path("client.key")}});
    EXPECT_EQ(RoundTrip(*Channel(true, mutual.Port()), {7}), Bytes{7});
}

// Bad frames from a raw connection, frames above the limit of either side through a channel.
TEST_F(Network, BadOrOversizedFramesAreRefusedWithTheFaultNamedAndTheServerGoesOn) {
    ServerConfig config;
    config.maxFrameBytes = 1000;
    config.ioTimeout = 300ms;
    config.idleTimeout = 400ms;
    InProcessServer server(config,
                           [](const Bytes& command, Bytes& response) { response.assign(2 * command.size(), 7); });
    const Bytes frame = Frame(Wire::FrameKind::Command, Bytes(20, 1));
    const std::string http = "GET / HTTP/1.1\r\n\r\n";
    const struct {
        Bytes sent;
        std::string refusal;  // the body of the Error frame, if one comes
        std::string log;
    } cases[] = {
        {Bytes(http.begin(), http.end()), "not a Veltrix frame (first bytes 0x47 0x45, expected 0x56 0x58 \"VX\")", ""},
        {{'V', 'X', 2, 1, 0, 0, 0, 0}, "unsupported wire protocol version 2 (this side speaks version 1)", ""},
        {{'V', 'X', 1, 9, 0, 0, 0, 0}, "unknown frame kind 9", ""},
        {{'V', 'X', 1, 1, 0x88, 0x13, 0, 0}, "frame of 5000 bytes exceeds the maximum of 1000 bytes", ""},
        {Frame(Wire::FrameKind::Response, {1}), "expected a command frame, got kind 2", ""},
        {Bytes(frame.begin(), frame.begin() + 12), "", "the client disconnected in the middle of a frame"},
        {Bytes(frame.begin(), frame.begin() + 10), "", "closed after 0 commands: frame not complete within 300 ms"},
        {{}, "", "closed after 0 commands: idle for 400 ms (idle time-out)"},
    };
    for (const auto& test : cases) {
        auto raw = std::make_unique<RawConnection>(server.Port());
        raw->Send(test.sent);
        if (!test.refusal.empty()) {
            EXPECT_EQ(raw->ReadFrame(), std::make_pair(Wire::FrameKind::Error, test.refusal));
        }
        if (test.log.find("disconnected") != std::string::npos) raw.reset();
        EXPECT_TRUE(!raw || raw->ClosedByPeer());
        EXPECT_TRUE(server.WaitForLog(test.log.empty() ? "0 commands: refused a frame: " + test.refusal : test.log));
    }
    const std::string prefix = Prefix(false, server.Port());
    UseClientSettings({{"VELTRIX_TCP_MAX_FRAME_BYTES", "400"}});
    auto channel = Channel(false, server.Port());
    EXPECT_EQ(
        errorOf([&] { RoundTrip(*channel, Bytes(401)); }),
        prefix + "command of 401 bytes exceeds the maximum frame size of 400 bytes (VELTRIX_TCP_MAX_FRAME_BYTES)");
    EXPECT_EQ(RoundTrip(*channel, Bytes(200)).size(), 400u);
    EXPECT_EQ(errorOf([&] { RoundTrip(*channel, Bytes(201)); }),
              prefix +
                  "command failed: frame of 402 bytes exceeds the maximum of 400 bytes; the next command opens "
                  "a new connection");
    // The server refuses before it reads the body; a body larger than the socket buffers meets a closed socket.
    UseClientSettings();
    for (std::size_t size : {2000u, 32u << 20}) {
        EXPECT_EQ(errorOf([&] { RoundTrip(*channel, Bytes(size)); }),
                  prefix + "the server refused the command: frame of " + std::to_string(size) +
                      " bytes exceeds the maximum of 1000 bytes");
    }
    EXPECT_EQ(RoundTrip(*channel, Bytes(3)), Bytes(6, 7));
}

// Headers announcing large frames cost nothing until the bytes come; what does come counts against the server's
// limit on bytes in flight.
TEST_F(Network, FrameBuffersGrowWithTheBytesThatArriveWithinTheServersLimit) {
    ServerConfig config;
    config.maxFrameBytes = 64u << 20;
    config.maxBytesInFlight = 4u << 20;
    InProcessServer server(config);
    auto resident = [] {
        long pages = 0, rss = 0;
        std::ifstream("/proc/self/statm") >> pages >> rss;
        return rss * ::sysconf(_SC_PAGESIZE);
    };
    long before = resident();
    Bytes announced(Wire::Limits::FrameHeaderLength + 1000);
    Wire::EncodeHeader(announced.data(), Wire::FrameKind::Command, 64u << 20);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 24; ++i) {
        idle.push_back(std::make_unique<RawConnection>(server.Port()));
        idle.back()->Send(announced);
    }
    ASSERT_TRUE(server.WaitForLog("opened", 24));
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(resident() - before, 32l << 20);  // reserving what the headers announce would take 1.5 GiB
    // One unfinished frame of 3 MiB leaves no room for another.
    const Bytes big = Frame(Wire::FrameKind::Command, Bytes(3u << 20, 7));
    auto partial = std::make_unique<RawConnection>(server.Port());
    partial->Send(Bytes(big.begin(), big.end() - 1));
    std::this_thread::sleep_for(300ms);
    RawConnection refused(server.Port());
    refused.Send(Bytes(big.begin(), big.begin() + (3 << 19)));
    EXPECT_EQ(refused.ReadFrame(),
              std::make_pair(Wire::FrameKind::Error,
                             std::string("frame of 3145728 bytes refused: frames in flight would exceed the limit of "
                                         "4194304 bytes")));
    partial->Send({big.back()});
    EXPECT_EQ(partial->ReadFrame().second.size(), 3u << 20);
    partial.reset();  // its buffer goes back to the budget
    ASSERT_TRUE(server.WaitForLog("closed after 1 command: closed by the client"));
    RawConnection after(server.Port());
    after.Send(big);
    EXPECT_EQ(after.ReadFrame().first, Wire::FrameKind::Response);
}

// A server that answers one byte every 100 ms: each wait is short, the whole answer is not.
TEST_F(Network, TheIoTimeOutBoundsAWholeAnswerNotEachWait) {
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, {asio::ip::address_v4::loopback(), 0});
    std::thread trickle([&] {
        asio::ip::tcp::socket peer = listener.accept();
        std::uint8_t command[64];
        peer.read_some(asio::buffer(command));
        asio::error_code ec;
        for (std::uint8_t byte : Frame(Wire::FrameKind::Response, Bytes(100, 1))) {
            if (asio::write(peer, asio::buffer(&byte, 1), ec); ec) break;
            std::this_thread::sleep_for(100ms);
        }
    });
    UseClientSettings({{"VELTRIX_TCP_IO_TIMEOUT_MS", "500"}});
    unsigned short port = listener.local_endpoint().port();
    EXPECT_EQ(errorOf([&] { RoundTrip(*Channel(false, port), {1}); }),
              Prefix(false, port) +
                  "command failed: no answer within 500 ms (VELTRIX_TCP_IO_TIMEOUT_MS): timed out while reading a "
                  "frame; the next command opens a new connection");
    trickle.join();
}

// Closed by the server's idle time-out: a command right after fails and the next reconnects; after a second of
// disuse the channel checks first and reopens before the command goes out.
TEST_F(Network, ConnectionsThatFailAreReopenedByTheNextCommand) {
    ServerConfig config;
    config.idleTimeout = 100ms;
    InProcessServer server(config);
    auto channel = Channel(false, server.Port());
    EXPECT_EQ(RoundTrip(*channel, {1}), Bytes{1});
    ASSERT_TRUE(server.WaitForLog("idle for 100 ms"));
    EXPECT_EQ(errorOf([&] { RoundTrip(*channel, {2}); }),
              Prefix(false, server.Port()) +
                  "command failed: the server closed the connection before answering; the next command opens a new "
                  "connection");
    EXPECT_EQ(RoundTrip(*channel, {3}), Bytes{3});
    ASSERT_TRUE(server.WaitForLog("idle for 100 ms", 2));
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(RoundTrip(*channel, {4}), Bytes{4});
    EXPECT_EQ(server.Count("opened"), 3);
}

// TLS clients on threads of their own, a silent connection beside them, and the connection limit.
TEST_F(Network, ConcurrentClientsAreServedWithinTheConnectionLimit) {
    ServerConfig config = TlsConfig();
    config.maxConnections = 5;
    InProcessServer server(config);
    RawConnection silent(server.Port());
    std::vector<std::unique_ptr<ITransport>> channels;
    for (int i = 0; i < 4; ++i) channels.push_back(Channel(true, server.Port()));
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&, i] {
            for (std::uint8_t n = 0; n < 25; ++n) {
                Bytes command(100 + n, static_cast<std::uint8_t>(i));
                try {
                    served += RoundTrip(*channels[i], command) == command;
                } catch (const std::exception&) {  // counted as not served
                }
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(served.load(), 100);
    EXPECT_TRUE(RawConnection(server.Port()).ClosedByPeer());
    EXPECT_TRUE(server.WaitForLog("refused: 5 connections are open (--max-connections)"));
}

// A command past the call time-out is answered from the watchdog thread while the handler still runs; other
// connections are served meanwhile.
TEST_F(Network, ConcurrentCommandPastItsDeadlineIsAnsweredByTheWatchdog) {
    ServerConfig config;
    config.callTimeout = 200ms;
    std::promise<int> timedOut;
    config.onCallTimeout = [&](int id) { timedOut.set_value(id); };
    std::promise<void> release;
    InProcessServer server(config, [done = release.get_future().share()](const Bytes& command, Bytes& response) {
        if (command.size() >= 11 && CommandHeader::Read(command.data()).Type() == CommandType::Value) done.wait_for(5s);
        response = command;
    });
    auto stuck = std::async(std::launch::async, [&] {
        return decodeResponse(RoundTrip(*Channel(false, server.Port()), commandMessage(CommandType::Value, {})));
    });
    EXPECT_EQ(RoundTrip(*Channel(false, server.Port()), {1, 2}), (Bytes{1, 2}));
    Response late = stuck.get();
    EXPECT_EQ(late.type, CommandType::Exception);
    EXPECT_EQ(late.value.asMap().at("message"),
              Value("veltrix-server: the command did not finish within 200 ms (--call-timeout-ms)"));
    int id = timedOut.get_future().get();
    EXPECT_EQ(server.Count("connection #" + std::to_string(id) + ": a command ran past --call-timeout-ms (200 ms)"), 1);
    release.set_value();
    EXPECT_TRUE(server.WaitForLog("closed after 0 commands: the command did not finish within 200 ms"));
}

}  // namespace
}  // namespace veltrix::test::network
