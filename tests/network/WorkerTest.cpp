// WorkerTest.cpp: the veltrix-server program over the real Perl runtime: handles kept per connection, workers that
// die or outlive the call time-out replaced, a stop whatever runs, and HAProxy in front of two servers.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <future>
#include <set>

#include "ErrorText.h"
#include "Messages.h"
#include "NetworkSupport.h"
#include "TempProductTree.h"

namespace veltrix::test::network {
namespace {

using VeltrixNS::HostClient::Handle;

const char* const kProbe = R"(package Probe;
use strict;
use warnings;
our $destroyed = 0;
sub pid { $$ }
sub spin { 1 while 1 }
sub quit { exit $_[0] }
sub leave {
    my ($how) = @_;
    my $size = 300 << 20;
    return length(our $kept = 'x' x $size) if $how eq 'hog';
    if ($how eq '_exit') { require POSIX; POSIX::_exit(4) }
    kill 'KILL', $$;
    sleep 5;
}
package Probe::Counter;
sub new { bless { n => 0 }, shift }
sub DESTROY { $Probe::destroyed++ }
1;
)";

Response Send(ITransport& channel, CommandType type, std::vector<Argument> args) {
    return decodeResponse(RoundTrip(channel, commandMessage(type, std::move(args))));
}

Value Call(ITransport& channel, const std::string& sub, std::vector<Argument> args = {}) {
    args.insert(args.begin(), sub);
    Response r = Send(channel, CommandType::InvokeGlobalMethod, std::move(args));
    EXPECT_EQ(r.type, CommandType::Value) << r.value.toString();
    return r.value;
}

std::string Message(const Response& r) {
    return r.type == CommandType::Exception ? r.value.asMap().at("message").asString() : "not an exception";
}

// A product tree Perl runs from, with the probe module, served by veltrix-server programs that preload it.
class Workers : public ::testing::Test {
protected:
    Workers() {
        tree_.addRunnableBridge();
        tree_.writePerlModule("Probe.pm", kProbe);
        UseClientSettings();
    }
    std::unique_ptr<ServerProcess> Start(const std::string& options) {
        return std::make_unique<ServerProcess>("--port 0 --product " + tree_.root().string() + " --preload Probe " +
                                               options);
    }
    TempProductTree tree_;
};

TEST_F(Workers, HandlesBelongToTheirConnectionGoWithItAndTheAllowListHolds) {
    auto server = Start("--workers 1 --allow 'Probe*'");
    auto a = Channel(false, server->Port()), b = Channel(false, server->Port());
    Value mine = Send(*a, CommandType::CreateClassInstance, {"Probe::Counter"}).value;
    Value second = Send(*a, CommandType::CreateClassInstance, {"Probe::Counter"}).value;
    Value theirs = Send(*b, CommandType::CreateClassInstance, {"Probe::Counter"}).value;
    std::uint64_t id = mine.asHandle().id();
    EXPECT_NE(second.asHandle().id(), id + 1);  // random, not counted
    EXPECT_NE(theirs.asHandle().id(), id);
    const std::string unknown = "No Perl value with handle " + std::to_string(id) + " (released or never created)\n";
    EXPECT_EQ(Message(Send(*b, CommandType::GetInstanceField, {mine, "n"})), unknown);
    EXPECT_EQ(Message(Send(*b, CommandType::DestructReference, {static_cast<std::int64_t>(id)})), unknown);
    EXPECT_EQ(Send(*a, CommandType::GetInstanceField, {mine, "n"}).value, Value(0));
    EXPECT_EQ(Message(Send(*b, CommandType::InvokeGlobalMethod, {"POSIX::getpid"})),
              "veltrix-server: calling POSIX::getpid is not allowed by this server");
    EXPECT_NE(server->WaitFor("refused a command: calling POSIX::getpid is not allowed"), "");
    a.reset();  // its two objects go with its connection
    Value destroyed;
    for (int i = 0; i < 100 && destroyed != Value(2); ++i, std::this_thread::sleep_for(50ms))
        destroyed = Send(*b, CommandType::GetStaticField, {"Probe", "destroyed"}).value;
    EXPECT_EQ(destroyed, Value(2));
    EXPECT_EQ(Send(*b, CommandType::DestructReference, {theirs}).type, CommandType::Value);
    EXPECT_EQ(Send(*b, CommandType::GetStaticField, {"Probe", "destroyed"}).value, Value(3));
    int status = 0;
    EXPECT_EQ(Output(VELTRIX_SERVER_PROGRAM " --product " + tree_.root().string() + " --preload No::Such 2>&1", &status)
                  .rfind("veltrix-server: cannot preload No::Such: Can't locate No/Such.pm in @INC", 0),
              0u);
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// However a worker ends, only its connection notices; the supervisor says why and starts another.
TEST_F(Workers, AWorkerThatDiesIsReplacedAndTheOtherWorkersConnectionsGoOn) {
    auto server = Start("--workers 2 --max-worker-rss 200M");
    auto other = Channel(false, server->Port());
    Value counter = Send(*other, CommandType::CreateClassInstance, {"Probe::Counter"}).value;
    const std::int64_t otherPid = Call(*other, "Probe::pid").asInt();
    const struct {
        const char* how;
        std::string why;
    } deaths[] = {
        {"_exit", "exited with status 4"},
        {"kill", "was killed by signal 9 (Killed)"},
        {"hog", "ended: its resident memory passed --max-worker-rss"},
    };
    for (const auto& death : deaths) {
        auto victim = Channel(false, server->Port());
        std::int64_t pid = Call(*victim, "Probe::pid").asInt();
        EXPECT_NE(pid, otherPid);  // the least loaded worker takes the new connection
        std::string error = errorOf([&] { Call(*victim, "Probe::leave", {death.how}); });
        EXPECT_EQ(error.find("the server closed the connection before answering") != std::string::npos,
                  std::string(death.how) != "hog")
            << error;
        EXPECT_NE(server->WaitFor("(pid " + std::to_string(pid) + ") " + death.why), "") << death.how;
        EXPECT_NE(server->WaitFor("started (pid"), "");
        EXPECT_EQ(Send(*other, CommandType::GetInstanceField, {counter, "n"}).value, Value(0));
    }
    // Perl's exit ends the command, not the worker.
    auto caller = Channel(false, server->Port());
    std::int64_t pid = Call(*caller, "Probe::pid").asInt();
    Response exited = Send(*caller, CommandType::InvokeGlobalMethod, {"Probe::quit", 5});
    EXPECT_EQ(exited.value.asMap().at("class"), Value("Veltrix::Exit"));
    EXPECT_EQ(exited.value.asMap().at("exit"), Value(5));
    EXPECT_EQ(Call(*caller, "Probe::pid"), Value(pid));
}

TEST_F(Workers, ACommandPastItsDeadlineIsAnsweredAndSigtermStopsWhateverRuns) {
    auto server = Start("--workers 2 --call-timeout-ms 2000 --drain-timeout-ms 300");
    auto spinning = Channel(false, server->Port());
    std::int64_t busy = Call(*spinning, "Probe::pid").asInt();
    auto late = std::async(std::launch::async,
                           [&] { return Send(*spinning, CommandType::InvokeGlobalMethod, {"Probe::spin"}); });
    std::this_thread::sleep_for(500ms);
    // While one worker is busy the idle one takes every new connection, not every other one.
    std::vector<std::unique_ptr<ITransport>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(Channel(false, server->Port()));
        EXPECT_NE(Call(*others.back(), "Probe::pid").asInt(), busy);
    }
    EXPECT_EQ(Message(late.get()), "veltrix-server: the command did not finish within 2000 ms (--call-timeout-ms)");
    EXPECT_NE(server->WaitFor("(pid " + std::to_string(busy) + ") ended: a command ran past --call-timeout-ms"), "");
    EXPECT_NE(Call(*Channel(false, server->Port()), "Probe::pid").asInt(), busy);
    // A command that spins when SIGTERM comes, too briefly for its deadline: the drain time ends it.
    auto stuck = std::async(std::launch::async, [&] { return errorOf([&] { Call(*others[0], "Probe::spin"); }); });
    std::this_thread::sleep_for(100ms);
    int status = server->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(stuck.get().find("the server closed the connection before answering"), std::string::npos);
    const std::string& log = server->Log();
    EXPECT_NE(log.find("did not finish within 300 ms (--drain-timeout-ms): killing it"), std::string::npos) << log;
    EXPECT_NE(log.find("veltrix-server: connection #1 from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("closed after 1 command: closed by the client\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\nveltrix-server: stopped\n")) << log;
}

// HAProxy in TCP mode before two servers, checking each with the protocol's heartbeat frame.
TEST_F(Workers, HaproxySpreadsConnectionsAndItsHealthCheckTakesAStoppedServerOut) {
    auto one = Start("--workers 1"), two = Start("--workers 1");
    auto message = VeltrixNS::Native::Definitions::HeartBeatMessage(4, 0, 8);
    Bytes beat(message.begin(), message.end());
    auto hex = [](const Bytes& bytes) {
        std::string text;
        for (std::uint8_t b : bytes) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
        return text;
    };
    Bytes answer = withHeader(CommandHeader::Read(beat.data()).ResponseTo(CommandType::HeartBeat), beat);
    unsigned short port = InProcessServer().Port();  // free once that server is gone
    tree_.writeFile("haproxy.cfg",
                    "defaults\n  mode tcp\n  timeout connect 1s\n  timeout client 30s\n  timeout server 30s\n"
                    "listen veltrix\n  bind 127.0.0.1:" +
                        std::to_string(port) + "\n  balance roundrobin\n  option tcp-check\n  tcp-check send-binary " +
                        hex(Frame(Wire::FrameKind::Command, beat)) + "\n  tcp-check expect binary " +
                        hex(Frame(Wire::FrameKind::Response, answer)) +
                        "\n  default-server check inter 200 fall 2 rise 1\n  server one 127.0.0.1:" +
                        std::to_string(one->Port()) + "\n  server two 127.0.0.1:" + std::to_string(two->Port()) + "\n");
    ChildProcess haproxy("haproxy -db -f " + (tree_.root() / "haproxy.cfg").string());
    auto front = Channel(false, port);
    for (int i = 0; i < 100 && errorOf([&] { Call(*front, "Probe::pid"); }) != "(no exception)"; ++i)
        std::this_thread::sleep_for(100ms);  // until haproxy listens
    const std::int64_t survivor = Call(*Channel(false, two->Port()), "Probe::pid").asInt();
    std::set<std::int64_t> workers;
    std::vector<std::unique_ptr<ITransport>> kept;
    for (int i = 0; i < 4; ++i) {
        auto channel = Channel(false, port);
        std::int64_t worker = Call(*channel, "Probe::pid").asInt();
        workers.insert(worker);
        if (worker == survivor) kept.push_back(std::move(channel));
    }
    EXPECT_EQ(workers.size(), 2u);  // round robin
    one->Stop();
    EXPECT_NE(haproxy.WaitFor("Server veltrix/one is DOWN"), "") << haproxy.Log();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Call(*Channel(false, port), "Probe::pid").asInt(), survivor);
    for (auto& channel : kept) EXPECT_EQ(Call(*channel, "Probe::pid").asInt(), survivor);
}

}  // namespace
}  // namespace veltrix::test::network
