// ConfigStore.h: the configuration held by Utils.dll, read from a JSON file or inline JSON text.
#pragma once
#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace VeltrixNS::Utils {

// Every configuration failure; its text names the source and never carries a secret.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ChannelSettings {
    std::string runtimeName;  // display name; the runtime key when not configured
    std::string type;
    std::string host;
    int port = 0;
    std::string runtimePath;
};

struct ProxySettings {
    std::string host;
    int port = 0;
    std::string username;
    std::string password;
    std::string domain;
};

struct Configuration {
    std::string source;  // as handed to SetConfigSource (inline text with the password masked)
    std::string loggingLevel = "off";
    std::optional<std::string> workingDirectory;  // unset: the user's state directory
    std::string telemetryFile;                    // empty: telemetry events are dropped
    // runtime name (lower case) -> configuration name -> settings
    std::map<std::string, std::map<std::string, ChannelSettings>> channels;
    std::optional<ProxySettings> proxy;
};

// The largest configuration file read; a larger one is refused.
inline constexpr std::size_t MaxConfigurationFileBytes = 16u << 20;

// Parses a configuration source: text whose first non-blank character is '{' is inline JSON,
// anything else is the path of a regular JSON file of at most MaxConfigurationFileBytes. Throws
// ConfigError; never returns half a result.
Configuration parseConfiguration(const std::string& sourceText);

// Raises ConfigError unless path names an existing directory.
void requireDirectory(const std::string& path, const std::string& context);

// Lower-cases ASCII letters.
std::string lowerCase(std::string text);

}  // namespace VeltrixNS::Utils
