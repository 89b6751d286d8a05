// Where the library lies and how sibling libraries load, seen from a program that links the core in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "Exception/VeltrixNativeException.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "TempProductTree.h"

using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;

namespace {

std::string programDirectory() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return std::filesystem::path(std::string(buffer, static_cast<size_t>(n))).parent_path().string() + "/";
}

}  // namespace

TEST(LibraryLocation, OwnDirectoryHasForwardSlashesAndATrailingSlash) {
    std::string own = LibrariesFinder::getThisLibraryPath();
    EXPECT_EQ(own, programDirectory());
    EXPECT_EQ(own.find('\\'), std::string::npos);
    EXPECT_EQ(own.back(), '/');
    EXPECT_EQ(LibrariesFinder::pathToDir, own);
    EXPECT_EQ(LibrariesFinder::nativeDirectoryRelativePath, "/Binaries/Native/Windows/X64/");
    EXPECT_EQ(LibrariesFinder::getThisLibraryPathW(), std::filesystem::path(own).wstring());
}

TEST(LibraryLocation, RootIsTheDirectoryFollowedByFourParentSteps) {
    EXPECT_EQ(LibrariesFinder::getBinariesRootPath(), programDirectory() + "../../../../");
    EXPECT_EQ(LibrariesFinder::getBinariesRootPathW(),
              std::filesystem::path(programDirectory() + "../../../../").wstring());
    EXPECT_EQ(LibrariesFinder::getCurrentWorkingDirectory(), std::filesystem::current_path().string());
}

TEST(LibraryLocation, RuntimeLibraryPaths) {
    EXPECT_EQ(LibrariesFinder::getRuntimeLibraryPath(0), programDirectory() + "VeltrixClrRuntimeNative.dll");
    EXPECT_EQ(LibrariesFinder::getRuntimeLibraryPath(99), programDirectory() + "Unknown");
}

TEST(LibraryLoading, MissingFileReturnsNullOrRaisesCode001NamingThePath) {
    EXPECT_EQ(LibrariesFinder::loadLibrary(std::string("/no/such/Lib.dll"), false, true), nullptr);
    try {
        LibrariesFinder::loadLibrary(std::string("/no/such/Lib.dll"), true, true);
        FAIL() << "no exception";
    } catch (const VeltrixNativeException& e) {
        std::string text = e.what();
        EXPECT_EQ(
            text.rfind("Veltrix Core Exception: Exception code 001. \nCannot load: /no/such/Lib.dll. \nError: 126 - ",
                       0),
            0U)
            << text;
        EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    }
}

TEST(LibraryLoading, NotASharedObjectIsError193) {
    veltrix::test::TempProductTree tree;
    auto path = tree.writeFile("Broken.dll", "MZ not really\n");
    try {
        LibrariesFinder::loadLibrary(path.string(), true, false);
        FAIL() << "no exception";
    } catch (const VeltrixNativeException& e) {
        EXPECT_NE(std::string(e.what()).find(". \nError: 193 - "), std::string::npos) << e.what();
    }
}

TEST(LibraryLoading, WideLoadFailureHasNoSystemText) {
    EXPECT_EQ(LibrariesFinder::loadLibrary(std::wstring(L"/no/such/W.dll"), false), nullptr);
    try {
        LibrariesFinder::loadLibrary(std::wstring(L"/no/such/W.dll"), true);
        FAIL() << "no exception";
    } catch (const VeltrixNativeException& e) {
        EXPECT_STREQ(e.what(), "Veltrix Core Exception: Exception code 001. \nCannot load: /no/such/W.dll\nError: 126");
    }
}

TEST(LibraryLoading, UtilsLoaderStopsAtTheFirstMissingOpenSslLibrary) {
    // Neither libcrypto nor libssl lies beside the test program: the fallback path, with its doubled slash, is named.
    try {
        LibrariesFinder::loadUtilsLibrary(true);
        FAIL() << "no exception";
    } catch (const VeltrixNativeException& e) {
        std::string expected =
            "Cannot load: " + programDirectory() + "/Binaries/Native/Windows/X64/libcrypto-3-x64.dll. ";
        EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
    EXPECT_EQ(LibrariesFinder::loadUtilsLibrary(false), nullptr);
    EXPECT_EQ(LibrariesFinder::loadVeltrixTcpTlsClientLibrary(false), nullptr);
}
