// ProductDir.cpp: where the product tree is when the caller names none: the VELTRIX_PRODUCT environment variable,
// else the tree installed with this library or with the running program, else the build's staged tree.
#include <dlfcn.h>

#include <cstdlib>
#include <system_error>

#include "HostClient/PerlClient.h"

namespace VeltrixNS::HostClient {

namespace fs = std::filesystem;

namespace {

// The product root `relative` to `base` when a bridge is there.
std::optional<fs::path> productAt(const fs::path& base, const fs::path& relative) {
    if (base.empty()) return std::nullopt;
    fs::path candidate = relative.empty() ? base : (base / relative).lexically_normal();
    std::error_code ec;
    if (!fs::is_regular_file(PerlClient::BridgePath(candidate), ec)) return std::nullopt;
    return candidate;
}

// The directory of the shared object that holds this code (the program itself when the library is linked in).
fs::path ownDirectory() {
    Dl_info info{};
    static const int anchor = 0;
    if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    fs::path file = fs::canonical(info.dli_fname, ec);
    return ec ? fs::path() : file.parent_path();
}

fs::path programDirectory() {
    std::error_code ec;
    fs::path file = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : file.parent_path();
}

}  // namespace

fs::path PerlClient::DefaultProductDir() {
    if (const char* named = std::getenv("VELTRIX_PRODUCT"); named != nullptr && *named != '\0') return named;
    if (auto dir = productAt(ownDirectory(), VELTRIX_PRODUCT_FROM_LIB)) return *dir;
    if (auto dir = productAt(programDirectory(), VELTRIX_PRODUCT_FROM_BIN)) return *dir;
    if (auto dir = productAt(VELTRIX_BUILD_PRODUCT_DIR, {})) return *dir;
    return VELTRIX_INSTALL_PRODUCT_DIR;
}

PerlClient::PerlClient() : PerlClient(DefaultProductDir()) {}

}  // namespace VeltrixNS::HostClient
