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

namespace {

const std::string secret = "s3cr3t-Pa55";

class Utils : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("VELTRIX_CONFIG");
        fs::create_directories(workDir());
    }
    // The library, loaded on first use from a copy of its own: every test starts with fresh state.
    veltrix::test::Library& Lib() {
        if (!library_)
            library_ = std::make_unique<veltrix::test::Library>(tree_.addNativeLibrary(UTILS_LIBRARY).string());
        return *library_;
    }
    int Set(const std::string& source) { return Lib().get<int (*)(const char*)>("SetConfigSource")(source.c_str()); }
    int SetDir(const std::string& path) { return Lib().get<int (*)(const char*)>("SetWorkingDirectory")(path.c_str()); }
    std::string Text(const char* name) { return Lib().get<std::string (*)()>(name)(); }
    std::string Text(const char* name, const char* runtime, const char* config) {
        return Lib().get<std::string (*)(const char*, const char*)>(name)(runtime, config);
    }
    int Number(const char* name) { return Lib().get<int (*)()>(name)(); }
    int Log(std::string op, std::string message, std::string runtime) {
        return Lib().get<int (*)(std::string, std::string, std::string)>("LogMessage")(op, message, runtime);
    }
    fs::path File(const std::string& name, const std::string& text) { return tree_.writeFile(name, text); }
    fs::path workDir() const { return tree_.root() / "work"; }
    fs::path telemetry() const { return tree_.root() / "telemetry.jsonl"; }
    std::vector<std::string> TelemetryLines() const {
        std::vector<std::string> lines;
        std::ifstream in(telemetry());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string Full() const {
        nlohmann::json config = {
            {"loggingLevel", "RuntimeInfo"},
            {"workingDirectory", workDir().string()},
            {"telemetryFile", telemetry().string()},
            {"runtimes",
             {{"Python",
               {{"remote", {{"name", "python3"}, {"channel", {{"type", "tcp"}, {"host", "10.0.0.5"}, {"port", 8080}}}}},
                {"local", {{"channel", {{"type", "inMemory"}, {"runtimePath", "/opt/python"}}}}}}}}},
            {"proxy",
             {{"host", "proxy.lan"}, {"port", 3128}, {"username", "bob"}, {"password", secret}, {"domain", "LAN"}}}};
        return config.dump(2);
    }

    veltrix::test::TempProductTree tree_;
    std::unique_ptr<veltrix::test::Library> library_;
};

TEST_F(Utils, DefaultsAreLevelOffAndTheCurrentDirectory) {
    EXPECT_EQ(Text("GetLoggingLevel"), "off");
    EXPECT_EQ(Text("GetWorkingDirectory"), fs::current_path().string());
    EXPECT_EQ(Text("GetConfigSource"), "");
    EXPECT_FALSE(Lib().get<bool (*)()>("ProxyExists")());
    EXPECT_EQ(Log("op", "dropped without a telemetry file", "Perl"), 0);
    EXPECT_EQ(errorOf([&] { Text("GetChannelHost", "python", "remote"); }),
              "Utils: no configuration 'remote' for runtime 'python'");
    EXPECT_EQ(errorOf([&] { Text("GetProxyHost"); }), "Utils: no proxy is configured");
}

TEST_F(Utils, ConfigurationFileRoundTrip) {
    fs::path config = File("config.json", Full());
    EXPECT_EQ(Set(config.string()), 0);
    EXPECT_EQ(Text("GetConfigSource"), config.string());
    EXPECT_EQ(Text("GetLoggingLevel"), "runtimeinfo");
    EXPECT_EQ(Text("GetWorkingDirectory"), workDir().string());
    EXPECT_EQ(Text("GetRuntimeName", "python", "remote"), "python3");
    EXPECT_EQ(Text("GetRuntimeName", "PYTHON", "local"), "Python");
    EXPECT_EQ(Text("GetChannelType", "python", "remote"), "tcp");
    EXPECT_EQ(Text("GetChannelHost", "python", "remote"), "10.0.0.5");
    EXPECT_EQ(Lib().get<int (*)(const char*, const char*)>("GetChannelPort")("python", "remote"), 8080);
    EXPECT_EQ(Text("GetChannelRuntimePath", "python", "local"), "/opt/python");
    EXPECT_TRUE(Lib().get<bool (*)()>("ProxyExists")());
    EXPECT_EQ(Text("GetProxyHost") + Text("GetProxyUsername") + Text("GetProxyDomain"), "proxy.lanbobLAN");
    EXPECT_EQ(Number("GetProxyPort"), 3128);
    EXPECT_EQ(Text("GetProxyPassword"), secret);
    EXPECT_EQ(Log("Native exception", "a \"quoted\"\nline", "Perl"), 0);
    auto lines = TelemetryLines();
    ASSERT_EQ(lines.size(), 1U);
    auto event = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(event["operation"].get<std::string>() + "|" + event["message"].get<std::string>() + "|" +
                  event["runtime"].get<std::string>(),
              "Native exception|a \"quoted\"\nline|Perl");
}

// Each refusal names the source and the fault; nothing of a refused source is applied.
TEST_F(Utils, ARefusedSourceLeavesTheConfigurationInForce) {
    ASSERT_EQ(Set(R"({"loggingLevel": "all"})"), 0);
    fs::path bad =
        File("bad.json", "{\n  \"loggingLevel\": \"off\",\n  \"proxy\": { \"password\": " + secret + " }\n}\n");
    fs::path invalid = File("invalid.json", R"({"loggingLevel": "off", "proxy": {"port": 70000}})");
    fs::path fifo = tree_.root() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::path large = File("large.json", "");
    fs::resize_file(large, (16u << 20) + 1);
    const std::pair<std::string, std::string> refusals[] = {
        // Column 26 is the first letter of the unquoted value: the place is given, never the text there.
        {bad.string(), "configuration file '" + bad.string() + "': malformed JSON at line 3, column 26"},
        {invalid.string(),
         "configuration file '" + invalid.string() + "': 'proxy.port' must be an integer from 0 to 65535"},
        {R"({"logginglevel": "off"})", "inline configuration: unknown key 'logginglevel'"},
        {(tree_.root() / "absent.json").string(),
         "cannot read configuration file '" + (tree_.root() / "absent.json").string() + "': No such file or directory"},
        {fifo.string(), "cannot read configuration file '" + fifo.string() + "': not a regular file"},
        {"/dev/zero", "cannot read configuration file '/dev/zero': not a regular file"},
        {tree_.root().string(), "cannot read configuration file '" + tree_.root().string() + "': not a regular file"},
        {large.string(), "cannot read configuration file '" + large.string() + "': larger than 16777216 bytes"},
        {"  ", "the configuration source is empty"},
    };
    for (const auto& [source, message] : refusals) {
        EXPECT_EQ(errorOf([&] { Set(source); }), "Utils: " + message);
        EXPECT_EQ(Text("GetLoggingLevel"), "all");
    }
    // 16 MiB exactly is still a configuration.
    std::string padded = R"({"loggingLevel": "runtimeinfo"})";
    padded.resize(16u << 20, ' ');
    EXPECT_EQ(Set(File("padded.json", padded).string()), 0);
    EXPECT_EQ(Text("GetLoggingLevel"), "runtimeinfo");
}

TEST_F(Utils, TheEnvironmentVariableNamesTheConfigurationAndABrokenOneIsReportedUntilASourceIsSet) {
    fs::path config = File("env.json", R"({"loggingLevel": "ALL", "workingDirectory": ")" + workDir().string() + "\"}");
    setenv("VELTRIX_CONFIG", config.c_str(), 1);
    EXPECT_EQ(Text("GetLoggingLevel") + " " + Text("GetWorkingDirectory"), "all " + workDir().string());
    EXPECT_EQ(Text("GetConfigSource"), config.string());

    library_.reset();
    tree_.writeFile("env.json", "{ \"loggingLevel\": }");
    EXPECT_EQ(errorOf([&] { Text("GetLoggingLevel"); }), "Utils: configuration file '" + config.string() +
                                                             "': malformed JSON at line 1, column 19 (named by "
                                                             "VELTRIX_CONFIG)");
    EXPECT_EQ(Set(R"({"loggingLevel": "runtimeinfo"})"), 0);
    EXPECT_EQ(Text("GetLoggingLevel"), "runtimeinfo");
}

TEST_F(Utils, TheWorkingDirectoryMustExist) {
    ASSERT_EQ(SetDir(workDir().string()), 0);
    std::string missing = (workDir() / "missing").string();
    EXPECT_EQ(errorOf([&] { SetDir(missing); }),
              "Utils: SetWorkingDirectory: '" + missing + "' is not an existing directory");
    EXPECT_EQ(errorOf([&] { SetDir(""); }), "Utils: SetWorkingDirectory: the working directory must not be empty");
    EXPECT_NE(errorOf([&] { SetDir(File("plain.txt", "x").string()); }).find("plain.txt"), std::string::npos);
    // The same check applies to a configuration source, which is then refused whole.
    EXPECT_NE(errorOf([&] { Set(R"({"workingDirectory": ")" + missing + "\"}"); }).find(missing), std::string::npos);
    EXPECT_EQ(Text("GetWorkingDirectory"), workDir().string());
}

TEST_F(Utils, ThePasswordNeverAppearsInTextsTelemetryOrErrors) {
    ASSERT_EQ(Set(Full()), 0);
    EXPECT_EQ(Text("GetConfigSource").find(secret), std::string::npos);
    EXPECT_NE(Text("GetConfigSource").find("proxy.lan"), std::string::npos);
    Log("login as bob:" + secret, "proxy refused " + secret, secret);
    std::ifstream in(telemetry());
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.find(secret), std::string::npos) << content;
    EXPECT_NE(content.find("proxy refused ********"), std::string::npos) << content;
    for (std::string source : {R"({"proxy": {"password": ")" + secret + R"(" "host": "x"}})",
                               R"({"proxy": {"password": ")" + secret + R"(", "port": ")" + secret + "\"}}"}) {
        EXPECT_EQ(errorOf([&] { Set(source); }).find(secret), std::string::npos);
    }
}

TEST_F(Utils, TelemetryNeverThrowsOnTroubleWithTheFileOrTheText) {
    ASSERT_EQ(Set(R"({"telemetryFile": ")" + (workDir() / "no/such/dir/t.jsonl").string() + "\"}"), 0);
    EXPECT_EQ(Log("op", "message", "Perl"), -1);
    ASSERT_EQ(Set(R"({"telemetryFile": ")" + telemetry().string() + "\"}"), 0);
    EXPECT_EQ(Log("op", std::string("bad utf-8 \xff\xfe"), "Perl"), 0);
    auto lines = TelemetryLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(nlohmann::json::parse(lines[0])["message"].get<std::string>().find("bad utf-8"), std::string::npos);
}

class UtilsConcurrency : public Utils {};

TEST_F(UtilsConcurrency, ExportsServeSeveralThreadsAtOnce) {
    std::string configA = R"({"loggingLevel": "all", "telemetryFile": ")" + telemetry().string() + "\"}";
    std::string configB = R"({"loggingLevel": "runtimeinfo", "telemetryFile": ")" + telemetry().string() + "\"}";
    ASSERT_EQ(Set(configA), 0);
    auto set = Lib().get<int (*)(const char*)>("SetConfigSource");
    auto level = Lib().get<std::string (*)()>("GetLoggingLevel");
    auto log = Lib().get<int (*)(std::string, std::string, std::string)>("LogMessage");
    std::atomic<int> wrongLevels{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0) set((i % 2 ? configA : configB).c_str());
                std::string seen = level();
                if (seen != "all" && seen != "runtimeinfo") ++wrongLevels;
                log("op", "event " + std::to_string(t) + "/" + std::to_string(i), "Perl");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrongLevels.load(), 0);
    auto lines = TelemetryLines();
    ASSERT_EQ(lines.size(), 200U);
    for (const auto& line : lines) EXPECT_NO_THROW(nlohmann::json::parse(line)) << line;
}

}  // namespace
