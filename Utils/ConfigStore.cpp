// ConfigStore.cpp: reading and checking a configuration; the whole source is validated before anything is kept.
#include "ConfigStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

namespace VeltrixNS::Utils {

using nlohmann::json;

namespace {

constexpr const char* maskedSecret = "********";

// Where the fault lies, as line and column of the byte the parser stopped at.
std::string positionOf(const std::string& text, std::size_t byte) {
    std::size_t pos = std::clamp<std::size_t>(byte, 1, text.size() + 1);
    std::string_view prefix(text.data(), pos - 1);
    std::size_t line = 1 + static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\n'));
    std::size_t lastNewline = prefix.rfind('\n');
    std::size_t column = pos - (lastNewline == std::string_view::npos ? 0 : lastNewline + 1);
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

class Reader {
public:
    explicit Reader(std::string origin) : origin_(std::move(origin)) {}

    [[noreturn]] void fail(const std::string& what) const { throw ConfigError("Utils: " + origin_ + ": " + what); }

    void onlyKeys(const json& object, const std::string& where, std::initializer_list<const char*> allowed) const {
        std::set<std::string> known(allowed.begin(), allowed.end());
        for (const auto& item : object.items()) {
            if (known.count(item.key()) == 0) fail("unknown key '" + where + item.key() + "'");
        }
    }

    const json& object(const json& parent, const char* key, const std::string& where) const {
        const json& value = parent.at(key);
        if (!value.is_object()) fail("'" + where + key + "' must be a JSON object");
        return value;
    }

    std::string text(const json& parent, const char* key, const std::string& where) const {
        if (!parent.contains(key)) return {};
        const json& value = parent.at(key);
        if (!value.is_string()) fail("'" + where + key + "' must be a string");
        return value.get<std::string>();
    }

    int port(const json& parent, const char* key, const std::string& where) const {
        if (!parent.contains(key)) return 0;
        const json& value = parent.at(key);
        if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 65535) {
            fail("'" + where + key + "' must be an integer from 0 to 65535");
        }
        return value.get<int>();
    }

    const std::string& origin() const { return origin_; }

private:
    std::string origin_;
};

// A file descriptor, closed when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Only a regular file of at most MaxConfigurationFileBytes can be a configuration: a FIFO would block the
// caller and a device could feed it without end. Opened without blocking and checked on the descriptor, so
// the file tested is the file read.
std::string readFile(const std::string& path) {
    auto refuse = [&](const std::string& why) -> ConfigError {
        return ConfigError("Utils: cannot read configuration file '" + path + "': " + why);
    };
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) throw refuse(std::strerror(errno));
    struct stat info {};
    if (fstat(file.get(), &info) != 0) throw refuse(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) throw refuse("not a regular file");
    auto tooLarge = [&] { return refuse("larger than " + std::to_string(MaxConfigurationFileBytes) + " bytes"); };
    if (static_cast<std::uintmax_t>(info.st_size) > MaxConfigurationFileBytes) throw tooLarge();

    // Read to the end, one byte past the limit at most: the file may grow while it is read.
    std::string content(static_cast<size_t>(info.st_size), '\0');
    size_t used = 0;
    for (;;) {
        if (used == content.size()) content.resize(std::min(content.size() + 4096, MaxConfigurationFileBytes + 1));
        ssize_t n = read(file.get(), content.data() + used, content.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw refuse(std::strerror(errno));
        if (n == 0) break;
        used += static_cast<size_t>(n);
        if (used > MaxConfigurationFileBytes) throw tooLarge();
    }
    content.resize(used);
    return content;
}

Configuration build(const json& root, const Reader& reader) {
    if (!root.is_object()) reader.fail("the top level must be a JSON object");
    reader.onlyKeys(root, "", {"loggingLevel", "workingDirectory", "telemetryFile", "runtimes", "proxy"});

    Configuration config;
    if (root.contains("loggingLevel")) {
        std::string level = lowerCase(reader.text(root, "loggingLevel", ""));
        if (level != "off" && level != "runtimeinfo" && level != "all") {
            reader.fail("'loggingLevel' must be one of off, runtimeinfo, all");
        }
        config.loggingLevel = level;
    }
    if (root.contains("workingDirectory")) {
        std::string directory = reader.text(root, "workingDirectory", "");
        requireDirectory(directory, reader.origin() + ": 'workingDirectory'");
        config.workingDirectory = directory;
    }
    config.telemetryFile = reader.text(root, "telemetryFile", "");

    if (root.contains("runtimes")) {
        const json& runtimes = reader.object(root, "runtimes", "");
        for (const auto& [runtime, configs] : runtimes.items()) {
            std::string runtimeWhere = "runtimes." + runtime;
            if (!configs.is_object()) reader.fail("'" + runtimeWhere + "' must be a JSON object");
            auto& perRuntime = config.channels[lowerCase(runtime)];
            for (const auto& [configName, entry] : configs.items()) {
                std::string where = runtimeWhere + "." + configName + ".";
                if (!entry.is_object()) reader.fail("'" + runtimeWhere + "." + configName + "' must be a JSON object");
                reader.onlyKeys(entry, where, {"name", "channel"});
                ChannelSettings settings;
                settings.runtimeName = reader.text(entry, "name", where);
                if (settings.runtimeName.empty()) settings.runtimeName = runtime;
                if (entry.contains("channel")) {
                    const json& channel = reader.object(entry, "channel", where);
                    std::string channelWhere = where + "channel.";
                    reader.onlyKeys(channel, channelWhere, {"type", "host", "port", "runtimePath"});
                    settings.type = reader.text(channel, "type", channelWhere);
                    settings.host = reader.text(channel, "host", channelWhere);
                    settings.port = reader.port(channel, "port", channelWhere);
                    settings.runtimePath = reader.text(channel, "runtimePath", channelWhere);
                }
                perRuntime[configName] = settings;
            }
        }
    }

    if (root.contains("proxy")) {
        const json& proxy = reader.object(root, "proxy", "");
        reader.onlyKeys(proxy, "proxy.", {"host", "port", "username", "password", "domain"});
        ProxySettings settings;
        settings.host = reader.text(proxy, "host", "proxy.");
        settings.port = reader.port(proxy, "port", "proxy.");
        settings.username = reader.text(proxy, "username", "proxy.");
        settings.password = reader.text(proxy, "password", "proxy.");
        settings.domain = reader.text(proxy, "domain", "proxy.");
        config.proxy = settings;
    }
    return config;
}

}  // namespace

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void requireDirectory(const std::string& path, const std::string& context) {
    std::error_code error;
    if (path.empty()) throw ConfigError("Utils: " + context + ": the working directory must not be empty");
    if (!std::filesystem::is_directory(path, error)) {
        throw ConfigError("Utils: " + context + ": '" + path + "' is not an existing directory");
    }
}

Configuration parseConfiguration(const std::string& sourceText) {
    auto first =
        std::find_if_not(sourceText.begin(), sourceText.end(), [](unsigned char c) { return std::isspace(c) != 0; });
    if (first == sourceText.end()) throw ConfigError("Utils: the configuration source is empty");
    bool inlineText = *first == '{';

    std::string text = inlineText ? sourceText : readFile(sourceText);
    Reader reader(inlineText ? "inline configuration" : "configuration file '" + sourceText + "'");

    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        // The parser's own text quotes the input near the fault, which may be a secret: give the place only.
        reader.fail("malformed JSON at " + positionOf(text, e.byte));
    }

    Configuration config = build(root, reader);
    if (inlineText) {
        if (root.contains("proxy") && root["proxy"].contains("password")) root["proxy"]["password"] = maskedSecret;
        config.source = root.dump();
    } else {
        config.source = sourceText;
    }
    return config;
}

}  // namespace VeltrixNS::Utils
