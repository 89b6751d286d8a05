// UtilsTest.cpp: the real Utils.dll: configuration files and inline JSON, the environment variable,
// working directory errors, concurrent callers, telemetry lines and secrecy of the proxy password.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "ConfigTestSupport.h"

using namespace veltrix::test;
namespace fs = std::filesystem;

namespace {

const std::string secret = "s3cr3t-Pa55";

class Utils {
public:
    Utils() : library_(UTILS_LIBRARY) {}

    int setConfigSource(const std::string& source) {
        return fn<int (*)(const char*)>("SetConfigSource")(source.c_str());
    }
    int setWorkingDirectory(const std::string& path) {
        return fn<int (*)(const char*)>("SetWorkingDirectory")(path.c_str());
    }
    std::string text(const char* name) { return fn<std::string (*)()>(name)(); }
    std::string text(const char* name, const char* runtime, const char* config) {
        return fn<std::string (*)(const char*, const char*)>(name)(runtime, config);
    }
    int channelPort(const char* runtime, const char* config) {
        return fn<int (*)(const char*, const char*)>("GetChannelPort")(runtime, config);
    }
    int proxyPort() { return fn<int (*)()>("GetProxyPort")(); }
    bool proxyExists() { return fn<bool (*)()>("ProxyExists")(); }
    int logMessage(std::string op, std::string message, std::string runtime) {
        return fn<int (*)(std::string, std::string, std::string)>("LogMessage")(op, message, runtime);
    }
    Library& library() { return library_; }

private:
    template <typename F>
    F fn(const char* name) {
        return library_.get<F>(name);
    }
    Library library_;
};

// Runs f, expecting a std::exception; returns its text.
template <typename F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "no exception";
    return "";
}

std::string fullConfiguration(const fs::path& workDir, const fs::path& telemetry) {
    nlohmann::json config = {
        {"loggingLevel", "RuntimeInfo"},
        {"workingDirectory", workDir.string()},
        {"telemetryFile", telemetry.string()},
        {"runtimes",
         {{"Python",
           {{"remote", {{"name", "python3"}, {"channel", {{"type", "tcp"}, {"host", "10.0.0.5"}, {"port", 8080}}}}},
            {"local", {{"channel", {{"type", "inMemory"}, {"runtimePath", "/opt/python"}}}}}}}}},
        {"proxy",
         {{"host", "proxy.lan"}, {"port", 3128}, {"username", "bob"}, {"password", secret}, {"domain", "LAN"}}}};
    return config.dump(2);
}

std::vector<std::string> readLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class UtilsLibrary : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("VELTRIX_CONFIG");
        fs::create_directories(tree_.root() / "work");
    }
    fs::path file(const std::string& name, const std::string& text) { return tree_.writeFile(name, text); }
    fs::path workDir() const { return tree_.root() / "work"; }
    fs::path telemetry() const { return tree_.root() / "telemetry.jsonl"; }

    TempProductTree tree_;
};

}  // namespace

TEST_F(UtilsLibrary, DefaultsAreLevelOffAndTheCurrentDirectory) {
    Utils utils;
    EXPECT_EQ(utils.text("GetLoggingLevel"), "off");
    EXPECT_EQ(utils.text("GetWorkingDirectory"), fs::current_path().string());
    EXPECT_EQ(utils.text("GetConfigSource"), "");
    EXPECT_FALSE(utils.proxyExists());
    EXPECT_EQ(utils.logMessage("op", "dropped without a telemetry file", "Perl"), 0);
    EXPECT_NE(failureOf([&] {
                  utils.text("GetChannelHost", "python", "remote");
              }).find("no configuration 'remote' for runtime 'python'"),
              std::string::npos);
}

TEST_F(UtilsLibrary, ConfigurationFileRoundTrip) {
    Utils utils;
    fs::path config = file("config.json", fullConfiguration(workDir(), telemetry()));
    EXPECT_EQ(utils.setConfigSource(config.string()), 0);
    EXPECT_EQ(utils.text("GetConfigSource"), config.string());
    EXPECT_EQ(utils.text("GetLoggingLevel"), "runtimeinfo");
    EXPECT_EQ(utils.text("GetWorkingDirectory"), workDir().string());
    EXPECT_EQ(utils.text("GetRuntimeName", "python", "remote"), "python3");
    EXPECT_EQ(utils.text("GetRuntimeName", "PYTHON", "local"), "Python");
    EXPECT_EQ(utils.text("GetChannelType", "python", "remote"), "tcp");
    EXPECT_EQ(utils.text("GetChannelHost", "python", "remote"), "10.0.0.5");
    EXPECT_EQ(utils.channelPort("python", "remote"), 8080);
    EXPECT_EQ(utils.text("GetChannelRuntimePath", "python", "local"), "/opt/python");
    EXPECT_TRUE(utils.proxyExists());
    EXPECT_EQ(utils.text("GetProxyHost"), "proxy.lan");
    EXPECT_EQ(utils.proxyPort(), 3128);
    EXPECT_EQ(utils.text("GetProxyUsername"), "bob");
    EXPECT_EQ(utils.text("GetProxyPassword"), secret);
    EXPECT_EQ(utils.text("GetProxyDomain"), "LAN");

    EXPECT_EQ(utils.logMessage("Native exception", "a \"quoted\"\nline", "Perl"), 0);
    auto lines = readLines(telemetry());
    ASSERT_EQ(lines.size(), 1u);
    auto event = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(event["operation"], "Native exception");
    EXPECT_EQ(event["message"], "a \"quoted\"\nline");
    EXPECT_EQ(event["runtime"], "Perl");
}

TEST_F(UtilsLibrary, MalformedFileIsRejectedWithItsPositionAndTheOldConfigurationStays) {
    Utils utils;
    ASSERT_EQ(utils.setConfigSource(R"({"loggingLevel": "all"})"), 0);
    fs::path bad =
        file("bad.json", "{\n  \"loggingLevel\": \"off\",\n  \"proxy\": { \"password\": " + secret + " }\n}\n");
    std::string message = failureOf([&] { utils.setConfigSource(bad.string()); });
    // Column 26 is the first letter of the unquoted value.
    EXPECT_EQ(message, "Utils: configuration file '" + bad.string() + "': malformed JSON at line 3, column 26");
    EXPECT_EQ(utils.text("GetLoggingLevel"), "all");

    message = failureOf([&] { utils.setConfigSource((tree_.root() / "absent.json").string()); });
    EXPECT_NE(message.find("absent.json"), std::string::npos) << message;
    EXPECT_NE(message.find("No such file"), std::string::npos) << message;

    // Well-formed but invalid: nothing of it is applied, the first valid key included.
    fs::path invalid = file("invalid.json", R"({"loggingLevel": "off", "proxy": {"port": 70000}})");
    message = failureOf([&] { utils.setConfigSource(invalid.string()); });
    EXPECT_EQ(message,
              "Utils: configuration file '" + invalid.string() + "': 'proxy.port' must be an integer from 0 to 65535");
    EXPECT_EQ(utils.text("GetLoggingLevel"), "all");
    EXPECT_NE(
        failureOf([&] { utils.setConfigSource(R"({"logginglevel": "off"})"); }).find("unknown key 'logginglevel'"),
        std::string::npos);
}

TEST_F(UtilsLibrary, EnvironmentVariableNamesTheConfiguration) {
    fs::path config = file("env.json", R"({"loggingLevel": "ALL", "workingDirectory": ")" + workDir().string() + "\"}");
    setenv("VELTRIX_CONFIG", config.c_str(), 1);
    Utils utils;
    EXPECT_EQ(utils.text("GetLoggingLevel"), "all");
    EXPECT_EQ(utils.text("GetWorkingDirectory"), workDir().string());
    EXPECT_EQ(utils.text("GetConfigSource"), config.string());
}

TEST_F(UtilsLibrary, BrokenEnvironmentConfigurationIsReportedUntilASourceIsSet) {
    fs::path config = file("env.json", "{ \"loggingLevel\": }");
    setenv("VELTRIX_CONFIG", config.c_str(), 1);
    Utils utils;
    std::string message = failureOf([&] { utils.text("GetLoggingLevel"); });
    EXPECT_NE(message.find(config.string()), std::string::npos) << message;
    EXPECT_NE(message.find("line 1, column 19"), std::string::npos) << message;
    EXPECT_NE(message.find("VELTRIX_CONFIG"), std::string::npos) << message;
    EXPECT_EQ(utils.setConfigSource(R"({"loggingLevel": "runtimeinfo"})"), 0);
    EXPECT_EQ(utils.text("GetLoggingLevel"), "runtimeinfo");
}

TEST_F(UtilsLibrary, WorkingDirectoryMustExist) {
    Utils utils;
    ASSERT_EQ(utils.setWorkingDirectory(workDir().string()), 0);
    std::string missing = (workDir() / "missing").string();
    EXPECT_EQ(failureOf([&] { utils.setWorkingDirectory(missing); }),
              "Utils: SetWorkingDirectory: '" + missing + "' is not an existing directory");
    EXPECT_NE(failureOf([&] { utils.setWorkingDirectory(""); }).find("must not be empty"), std::string::npos);
    fs::path notDirectory = file("plain.txt", "x");
    EXPECT_NE(failureOf([&] { utils.setWorkingDirectory(notDirectory.string()); }).find("plain.txt"),
              std::string::npos);
    EXPECT_EQ(utils.text("GetWorkingDirectory"), workDir().string());

    // The same check applies to a configuration source, which is then rejected whole.
    EXPECT_NE(failureOf([&] { utils.setConfigSource(R"({"workingDirectory": ")" + missing + "\"}"); }).find(missing),
              std::string::npos);
    EXPECT_EQ(utils.text("GetWorkingDirectory"), workDir().string());
}

TEST_F(UtilsLibrary, ExportsServeSeveralThreadsAtOnce) {
    Utils utils;
    std::string configA = R"({"loggingLevel": "all", "telemetryFile": ")" + telemetry().string() + "\"}";
    std::string configB = R"({"loggingLevel": "runtimeinfo", "telemetryFile": ")" + telemetry().string() + "\"}";
    auto set = utils.library().get<int (*)(const char*)>("SetConfigSource");
    auto level = utils.library().get<std::string (*)()>("GetLoggingLevel");
    auto log = utils.library().get<int (*)(std::string, std::string, std::string)>("LogMessage");
    ASSERT_EQ(set(configA.c_str()), 0);
    std::vector<std::thread> threads;
    std::atomic<int> wrongLevels{0};
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
    auto lines = readLines(telemetry());
    ASSERT_EQ(lines.size(), 200u);
    for (const auto& line : lines) EXPECT_NO_THROW(nlohmann::json::parse(line)) << line;
}

TEST_F(UtilsLibrary, PasswordNeverAppearsInTextsTelemetryOrErrors) {
    Utils utils;
    ASSERT_EQ(utils.setConfigSource(fullConfiguration(workDir(), telemetry())), 0);
    EXPECT_EQ(utils.text("GetConfigSource").find(secret), std::string::npos);
    EXPECT_NE(utils.text("GetConfigSource").find("proxy.lan"), std::string::npos);

    utils.logMessage("login as bob:" + secret, "proxy refused " + secret, secret);
    std::ifstream in(telemetry());
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.find(secret), std::string::npos) << content;
    EXPECT_NE(content.find("proxy refused ********"), std::string::npos) << content;

    // A fault right at the password: the error gives the place, never the text there.
    std::string badInline = R"({"proxy": {"password": ")" + secret + R"(" "host": "x"}})";
    std::string message = failureOf([&] { utils.setConfigSource(badInline); });
    EXPECT_EQ(message.find(secret), std::string::npos) << message;
    EXPECT_NE(message.find("inline configuration: malformed JSON at line 1, column"), std::string::npos) << message;
    std::string wrongType = R"({"proxy": {"password": ")" + secret + R"(", "port": ")" + secret + "\"}}";
    message = failureOf([&] { utils.setConfigSource(wrongType); });
    EXPECT_EQ(message.find(secret), std::string::npos) << message;
}

TEST_F(UtilsLibrary, TelemetryNeverThrowsOnTroubleWithTheFileOrTheText) {
    Utils utils;
    ASSERT_EQ(utils.setConfigSource(R"({"telemetryFile": ")" + (workDir() / "no/such/dir/t.jsonl").string() + "\"}"),
              0);
    EXPECT_EQ(utils.logMessage("op", "message", "Perl"), -1);

    ASSERT_EQ(utils.setConfigSource(R"({"telemetryFile": ")" + telemetry().string() + "\"}"), 0);
    EXPECT_EQ(utils.logMessage("op", std::string("bad utf-8 \xff\xfe"), "Perl"), 0);
    auto lines = readLines(telemetry());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(nlohmann::json::parse(lines[0])["message"].get<std::string>().find("bad utf-8"), std::string::npos);
}

// The facade hands the store's own failure text to the caller.
TEST(UtilsThroughFacade, RejectedSourceReachesTheCallerAsTheStoreText) {
    ConfigTree tree(UTILS_LIBRARY);
    unsetenv("VELTRIX_CONFIG");
    ProbeResult set = tree.call("SetWorkingDirectory", tree.workDir().string());
    EXPECT_EQ(set.code, 0);
    EXPECT_EQ(set.text, "0");
    fs::path bad = tree.tree().writeFile("bad.json", "{ \"loggingLevel\" \"all\" }");
    ProbeResult result = tree.call("SetConfigSource", bad.string());
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.text, "Utils: configuration file '" + bad.string() + "': malformed JSON at line 1, column 22");
    // One exception constructed by the facade, recorded in the configured working directory.
    EXPECT_EQ(tree.errorLogRecords().size(), 1u);
    EXPECT_EQ(tree.call("GetWorkingDirectory").text, tree.workDir().string());
    EXPECT_EQ(tree.call("GetLoggingLevel").text, "0");
}
