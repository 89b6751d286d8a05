// TempProductTree.cpp: throw-away product trees for tests and benchmarks.
#include "TempProductTree.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace veltrix::test {

TempProductTree::TempProductTree() {
    std::string pattern = (fs::temp_directory_path() / "veltrix-product-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directories(nativeDir());
    fs::create_directories(perlLibDir());
}

TempProductTree::~TempProductTree() {
    std::error_code ignored;
    if (std::getenv("VELTRIX_KEEP_TEST_TREES") == nullptr) fs::remove_all(root_, ignored);
}

fs::path TempProductTree::nativeDir() const {
    return root_ / "Binaries/Native/Windows/X64";
}

fs::path TempProductTree::perlLibDir() const {
    return root_ / "Binaries/Perl/Windows/X64/lib";
}

fs::path TempProductTree::addNativeLibrary(const fs::path& source, const std::string& fileName) {
    fs::path target = nativeDir() / (fileName.empty() ? source.filename() : fs::path(fileName));
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target;
}

fs::path TempProductTree::addBridge() {
    return addNativeLibrary(VELTRIX_BRIDGE_LIBRARY, "VeltrixPerl540RuntimeNative.dll");
}

void TempProductTree::addProductPerlModules() {
    fs::copy(VELTRIX_PERL_LIB_DIR, perlLibDir(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void TempProductTree::addRunnableBridge() {
    addBridge();
    // Perl's generic name, as the staged tree has it.
    fs::create_symlink("VeltrixPerl540RuntimeNative.dll", nativeDir() / "VeltrixPerlRuntimeNative.dll");
    // The OpenSSL names are links to the system libraries; they are copied as links.
    for (const char* sibling : {"Utils.dll", "libcrypto-3-x64.dll", "libssl-3-x64.dll"}) {
        fs::copy(fs::path(VELTRIX_NATIVE_DIR) / sibling, nativeDir() / sibling, fs::copy_options::copy_symlinks);
    }
    addProductPerlModules();
}

fs::path TempProductTree::writePerlModule(const fs::path& relative, const std::string& text) {
    return writeFile(fs::relative(perlLibDir(), root_) / relative, text);
}

fs::path TempProductTree::writeReceiverModule(const std::string& text) {
    return writePerlModule("Veltrix/Core/Receiver/Receiver.pm", text);
}

fs::path TempProductTree::writeFile(const fs::path& relative, const std::string& text) {
    fs::path target = root_ / relative;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + target.string());
    return target;
}

}  // namespace veltrix::test
