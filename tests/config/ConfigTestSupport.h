// ConfigTestSupport.h: a product tree holding the config probe, a Utils.dll and the OpenSSL links,
// with readers for the stand-in's call log and the daily error log.
#pragma once
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Library.h"
#include "TempProductTree.h"

namespace veltrix::test {

struct ProbeResult {
    int code;  // 0 returned, 1 VeltrixNativeException, 2 other exception
    std::string text;
};

class ConfigTree {
public:
    enum class OpenSsl { Both, NoCrypto, NoSsl };

    // utilsLibrary: the Utils.dll to place in the tree ("" for none).
    explicit ConfigTree(const std::string& utilsLibrary, OpenSsl openSsl = OpenSsl::Both);

    TempProductTree& tree() { return tree_; }
    std::filesystem::path workDir() const { return tree_.root() / "work"; }
    std::filesystem::path standinLog() const { return tree_.root() / "standin.log"; }
    void placeUtils(const std::string& utilsLibrary);

    // Loads the probe from the tree on first use.
    Library& probe();
    ProbeResult call(const std::string& operation, const std::string& first = "", const std::string& second = "");
    ProbeResult raise(const std::string& message, const std::string& callingRuntimeName = "Unknown");
    ProbeResult copy(const std::string& message);
    int logMessage(const std::string& operation, const std::string& message, const std::string& runtime);
    int loggingLevel();

    // Lines of the stand-in's call log whose export name is `name` (all lines when empty); fields TAB-separated.
    std::vector<std::vector<std::string>> standinCalls(const std::string& name = "") const;
    // Every line of the error log files in the working directory, and the records among them.
    std::vector<std::string> errorLogLines() const;
    std::vector<std::string> errorLogRecords() const;

private:
    TempProductTree tree_;
    std::unique_ptr<Library> probe_;
};

// True when line begins as an error record does: "%Y-%m-%d %X" TAB "Thread ID: " id TAB.
bool isRecordStart(const std::string& line);
std::string todayDate();
std::string threadIdText();

}  // namespace veltrix::test
