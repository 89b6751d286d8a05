// The real Utils.dll, a fresh copy per test: configuration files and inline JSON, what a configuration file
// can be, the environment variable, the working directory, concurrent callers, telemetry lines and secrecy
// of the proxy password.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "ErrorText.h"
#include "Library.h"
#include "TempProductTree.h"

using veltrix::test::errorOf;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string secret = "s3cr3t-Pa55";

class Utils : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("VELTRIX_CONFIG"); }
    // Loaded on first use from a copy of its own: every test starts with fresh state.
    template <typename F>
    F Fn(const char* name) {
        if (!library) library = std::make_unique<veltrix::test::Library>(tree.addNativeLibrary(UTILS_LIBRARY).string());
        return library->get<F>(name);
    }
    int Set(const std::string& source) { return Fn<int (*)(const char*)>("SetConfigSource")(source.c_str()); }
    int SetDir(const std::string& path) { return Fn<int (*)(const char*)>("SetWorkingDirectory")(path.c_str()); }
    std::string Text(const char* name) { return Fn<std::string (*)()>(name)(); }
    std::string Text(const char* name, const char* runtime, const char* config) {
        return Fn<std::string (*)(const char*, const char*)>(name)(runtime, config);
    }
    int Log(std::string op, std::string message, std::string runtime) {
        return Fn<int (*)(std::string, std::string, std::string)>("LogMessage")(op, message, runtime);
    }
    std::string Telemetry() const {
        std::ifstream in(telemetry);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string Source(json config) const {
        config["telemetryFile"] = telemetry.string();
        return config.dump();
    }

    veltrix::test::TempProductTree tree;
    std::unique_ptr<veltrix::test::Library> library;
    fs::path telemetry = tree.root() / "telemetry.jsonl";
    const std::string full = Source(
        {{"loggingLevel", "RuntimeInfo"},
         {"workingDirectory", tree.root().string()},
         {"runtimes",
          {{"Python",
            {{"remote", {{"name", "python3"}, {"channel", {{"type", "tcp"}, {"host", "10.0.0.5"}, {"port", 8080}}}}},
             {"local", {{"channel", {{"type", "inMemory"}, {"runtimePath", "/opt/python"}}}}}}}}},
         {"proxy",
          {{"host", "proxy.lan"}, {"port", 3128}, {"username", "bob"}, {"password", secret}, {"domain", "LAN"}}}});
};

TEST_F(Utils, DefaultsAreLevelOffAndTheUsersStateDirectoryAndTheWorkingDirectoryMustExist) {
    setenv("XDG_STATE_HOME", tree.root().c_str(), 1);
    EXPECT_EQ(Text("GetLoggingLevel") + "|" + Text("GetWorkingDirectory") + "|" + Text("GetConfigSource"),
              "off|" + (tree.root() / "veltrix").string() + "|");
    EXPECT_TRUE(fs::is_directory(tree.root() / "veltrix"));
    unsetenv("XDG_STATE_HOME");
    EXPECT_FALSE(Fn<bool (*)()>("ProxyExists")());
    EXPECT_EQ(Log("op", "dropped without a telemetry file", "Perl"), 0);
    EXPECT_EQ(errorOf([&] { Text("GetChannelHost", "python", "remote"); }),
              "Utils: no configuration 'remote' for runtime 'python'");
    EXPECT_EQ(errorOf([&] { Text("GetProxyHost"); }), "Utils: no proxy is configured");
    ASSERT_EQ(SetDir(tree.root().string()), 0);
    std::string plain = tree.writeFile("plain.txt", "x").string();
    EXPECT_EQ(errorOf([&] { SetDir(plain); }),
              "Utils: SetWorkingDirectory: '" + plain + "' is not an existing directory");
    EXPECT_EQ(errorOf([&] { SetDir(""); }), "Utils: SetWorkingDirectory: the working directory must not be empty");
    EXPECT_EQ(Text("GetWorkingDirectory"), tree.root().string());
}

// A configuration file is read whole; the proxy password never appears (source text, telemetry, errors), and
// telemetry never throws.
TEST_F(Utils, AConfigurationFileIsReadWholeAndThePasswordNeverAppears) {
    fs::path config = tree.writeFile("config.json", full);
    EXPECT_EQ(Set(config.string()), 0);
    EXPECT_EQ(Text("GetConfigSource"), config.string());
    EXPECT_EQ(Text("GetLoggingLevel") + "|" + Text("GetWorkingDirectory"), "runtimeinfo|" + tree.root().string());
    EXPECT_EQ(Text("GetRuntimeName", "python", "remote") + "|" + Text("GetRuntimeName", "PYTHON", "local") + "|" +
                  Text("GetChannelType", "python", "remote") + "|" + Text("GetChannelHost", "python", "remote") + "|" +
                  Text("GetChannelRuntimePath", "python", "local"),
              "python3|Python|tcp|10.0.0.5|/opt/python");
    EXPECT_EQ(Fn<int (*)(const char*, const char*)>("GetChannelPort")("python", "remote"), 8080);
    EXPECT_TRUE(Fn<bool (*)()>("ProxyExists")());
    EXPECT_EQ(Text("GetProxyHost") + Text("GetProxyUsername") + Text("GetProxyDomain") + Text("GetProxyPassword"),
              "proxy.lanbobLAN" + secret);
    EXPECT_EQ(Fn<int (*)()>("GetProxyPort")(), 3128);
    EXPECT_EQ(Log("Native exception", "a \"quoted\"\nline", "Perl"), 0);
    json event = json::parse(Telemetry());
    EXPECT_EQ(json({event["operation"], event["message"], event["runtime"]}),
              json({"Native exception", "a \"quoted\"\nline", "Perl"}));
    ASSERT_EQ(Set(full), 0);  // inline, the source text is shown with the password hidden
    EXPECT_EQ(Text("GetConfigSource").find(secret), std::string::npos);
    EXPECT_NE(Text("GetConfigSource").find("proxy.lan"), std::string::npos);
    Log("login as bob:" + secret, "proxy refused " + secret, secret);
    EXPECT_EQ(Telemetry().find(secret), std::string::npos);
    EXPECT_NE(Telemetry().find("proxy refused ********"), std::string::npos);
    for (std::string source : {R"({"proxy": {"password": ")" + secret + R"(" "host": "x"}})",
                               R"({"proxy": {"password": ")" + secret + R"(", "port": ")" + secret + "\"}}"}) {
        EXPECT_EQ(errorOf([&] { Set(source); }).find(secret), std::string::npos);
    }
    EXPECT_EQ(Log("op", std::string("bad utf-8 \xff\xfe"), "Perl"), 0);
    EXPECT_NE(Telemetry().find("bad utf-8"), std::string::npos);
    telemetry = tree.root() / "no/such/dir/t.jsonl";
    ASSERT_EQ(Set(Source(json::object())), 0);
    EXPECT_EQ(Log("op", "message", "Perl"), -1);
}

// Each refusal names the source and the fault; nothing of a refused source is applied.
TEST_F(Utils, ARefusedSourceLeavesTheConfigurationInForce) {
    ASSERT_EQ(Set(R"({"loggingLevel": "all"})"), 0);
    fs::path bad = tree.writeFile(
        "bad.json", "{\n  \"loggingLevel\": \"off\",\n  \"proxy\": { \"password\": " + secret + " }\n}\n");
    fs::path invalid = tree.writeFile("invalid.json", R"({"loggingLevel": "off", "proxy": {"port": 70000}})");
    fs::path absent = tree.root() / "absent.json", fifo = tree.root() / "fifo",
             large = tree.writeFile("large.json", "");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::resize_file(large, (16u << 20) + 1);
    const std::pair<std::string, std::string> refusals[] = {
        // Column 26 is the first letter of the unquoted value: the place is given, never the text there.
        {bad, "configuration file '" + bad.string() + "': malformed JSON at line 3, column 26"},
        {invalid, "configuration file '" + invalid.string() + "': 'proxy.port' must be an integer from 0 to 65535"},
        {R"({"logginglevel": "off"})", "inline configuration: unknown key 'logginglevel'"},
        {R"({"workingDirectory": "/no/such/dir"})",
         "inline configuration: 'workingDirectory': '/no/such/dir' is not "
         "an existing directory"},
        {absent, "cannot read configuration file '" + absent.string() + "': No such file or directory"},
        {fifo, "cannot read configuration file '" + fifo.string() + "': not a regular file"},
        {large, "cannot read configuration file '" + large.string() + "': larger than 16777216 bytes"},
        {"  ", "the configuration source is empty"},
    };
    for (const auto& [source, message] : refusals) {
        EXPECT_EQ(errorOf([&] { Set(source); }), "Utils: " + message);
        EXPECT_EQ(Text("GetLoggingLevel"), "all");
    }
    std::string padded = R"({"loggingLevel": "runtimeinfo"})";  // 16 MiB exactly is still a configuration
    padded.resize(16u << 20, ' ');
    EXPECT_EQ(Set(tree.writeFile("padded.json", padded).string()), 0);
    EXPECT_EQ(Text("GetLoggingLevel"), "runtimeinfo");
}

TEST_F(Utils, TheEnvironmentVariableNamesTheConfigurationAndABrokenOneIsReportedUntilASourceIsSet) {
    fs::path config = tree.writeFile("env.json", R"({"loggingLevel": "ALL"})");
    setenv("VELTRIX_CONFIG", config.c_str(), 1);
    EXPECT_EQ(Text("GetLoggingLevel") + "|" + Text("GetConfigSource"), "all|" + config.string());
    library.reset();
    tree.writeFile("env.json", "{ \"loggingLevel\": }");
    EXPECT_EQ(errorOf([&] { Text("GetLoggingLevel"); }), "Utils: configuration file '" + config.string() +
                                                             "': malformed JSON at line 1, column 19 (named by "
                                                             "VELTRIX_CONFIG)");
    EXPECT_EQ(Set(R"({"loggingLevel": "runtimeinfo"})"), 0);
    EXPECT_EQ(Text("GetLoggingLevel"), "runtimeinfo");
}

class UtilsConcurrency : public Utils {};

TEST_F(UtilsConcurrency, ExportsServeSeveralThreadsAtOnce) {
    std::string configs[] = {Source({{"loggingLevel", "all"}}), Source({{"loggingLevel", "runtimeinfo"}})};
    ASSERT_EQ(Set(configs[0]), 0);
    auto set = Fn<int (*)(const char*)>("SetConfigSource");
    auto level = Fn<std::string (*)()>("GetLoggingLevel");
    auto log = Fn<int (*)(std::string, std::string, std::string)>("LogMessage");
    std::atomic<int> wrongLevels{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0) set(configs[i % 2].c_str());
                std::string seen = level();
                if (seen != "all" && seen != "runtimeinfo") ++wrongLevels;
                log("op", "event " + std::to_string(t) + "/" + std::to_string(i), "Perl");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrongLevels.load(), 0);
    std::istringstream lines(Telemetry());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) EXPECT_NO_THROW(json::parse(line)) << line;
    EXPECT_EQ(count, 200);
}

}  // namespace
