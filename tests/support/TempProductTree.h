// TempProductTree.h: a throw-away installed product (native directory and Perl lib) for a test or a benchmark.
// Set VELTRIX_KEEP_TEST_TREES to keep the trees for a look afterwards.
#pragma once
#include <filesystem>
#include <string>

namespace veltrix::test {

class TempProductTree {
public:
    TempProductTree();
    ~TempProductTree();
    TempProductTree(const TempProductTree&) = delete;
    TempProductTree& operator=(const TempProductTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // <root>/Binaries/Native/Windows/X64
    std::filesystem::path nativeDir() const;
    // <root>/Binaries/Perl/Windows/X64/lib
    std::filesystem::path perlLibDir() const;
    // Copies a built library into the native directory, under its own or another file name.
    std::filesystem::path addNativeLibrary(const std::filesystem::path& source, const std::string& fileName = "");
    // Copies the bridge library under its product name; returns its path in the tree.
    std::filesystem::path addBridge();
    // Copies the staged product Perl modules (the real receiver module and its companions).
    void addProductPerlModules();
    // The bridge (also under Perl's generic name), the native libraries it loads from its own directory (Utils,
    // the OpenSSL links) and the product Perl modules: a tree a host can start Perl from.
    void addRunnableBridge();
    // Writes a module below the Perl lib directory, e.g. "Sample/Module.pm".
    std::filesystem::path writePerlModule(const std::filesystem::path& relative, const std::string& text);
    // Writes the receiver module (Veltrix/Core/Receiver/Receiver.pm) with the given text.
    std::filesystem::path writeReceiverModule(const std::string& text);
    // Writes any file below the root.
    std::filesystem::path writeFile(const std::filesystem::path& relative, const std::string& text);

private:
    std::filesystem::path root_;
};

}  // namespace veltrix::test
