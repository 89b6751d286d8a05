// The platform layer (the Windows-named loader, error and text calls, the loader seam) and the core's path,
// name, loading and message-log helpers, linked in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "ErrorText.h"
#include "FakeLibraries.h"
#include "FileLogger/FileLogger.h"
#include "LibrariesFinder/LibrariesFinder.h"
#include "Platform/SharedLibrary.h"
#include "RuntimeNameHandler/RuntimeNameHandler.h"
#include "TempProductTree.h"

namespace fs = std::filesystem;
using veltrix::test::errorOf;
using VeltrixNS::Native::FileLogger::FileLogger;
using VeltrixNS::Native::LibrariesFinder::LibrariesFinder;
using VeltrixNS::Native::Platform::SharedLibrary;
using VeltrixNS::Native::RuntimeNameHandler::RuntimeNameHandler;

namespace {

std::string ProgramDirectory() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return fs::path(std::string(buffer, static_cast<size_t>(n))).parent_path().string() + "/";
}

std::string LastErrorText() {
    LPWSTR buffer = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, GetLastError(), 0x0409, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text;
    for (DWORD i = 0; i < length; ++i) text += static_cast<char>(buffer[i]);
    LocalFree(buffer);
    return text;
}

TEST(Loader, FailuresCarryTheirCodeAndTheLoadersReason) {
    veltrix::test::TempProductTree tree;
    std::string notElf = tree.writeFile("notalib.dll", std::string(100, 'x')).string();
    const std::tuple<std::string, DWORD, std::string> cases[] = {
        {"/nonexistent/libnothing.dll", ERROR_MOD_NOT_FOUND,
         "/nonexistent/libnothing.dll: cannot open shared object file: No such file or directory"},
        {notElf, ERROR_BAD_EXE_FORMAT, notElf + ": invalid ELF header"},
        {"", ERROR_MOD_NOT_FOUND, "empty library name"}};
    for (const auto& [path, code, text] : cases) {
        EXPECT_EQ(LoadLibraryA(path.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), code) << path;
        EXPECT_EQ(LastErrorText(), text);
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);  // any other code has a fixed text
    EXPECT_EQ(LastErrorText(), "The data area passed to a system call is too small.");
}

TEST(Loader, OneModulePerFileAndItsExportsAddressAndName) {
    HINSTANCE libm = LoadLibraryA("libm.so.6");
    ASSERT_NE(libm, nullptr);
    EXPECT_EQ(LoadLibraryA("libm.so.6"), libm);
    auto cosine = reinterpret_cast<LPCSTR>(GetProcAddress(libm, "cos"));
    EXPECT_EQ(GetProcAddress(libm, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(LastErrorText().find("NoSuchExportAnywhere"), std::string::npos);
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, cosine, &found));
    EXPECT_EQ(found, libm);
    char name[1024];
    DWORD length = GetModuleFileNameA(found, name, sizeof name);
    EXPECT_NE(std::string(name).find("libm.so.6"), std::string::npos);
    wchar_t wide[1024];
    EXPECT_EQ(GetModuleFileNameW(found, wide, 1024), length);
    char small[5];  // a longer name is cut and terminated; the result is the buffer size
    EXPECT_EQ(GetModuleFileNameA(found, small, sizeof small), sizeof small);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(FreeLibrary(libm));
    EXPECT_FALSE(FreeLibrary(nullptr));
    int onStack = 0;
    EXPECT_FALSE(
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&onStack), &found));
    EXPECT_EQ(found, nullptr);
}

// A relative name is read against the directory of the moment it was loaded, not of the question.
TEST(Loader, ARelativeNameKeepsTheDirectoryItWasLoadedFrom) {
    veltrix::test::TempProductTree tree;
    fs::copy_file(fs::path(LIBM_FILE), tree.root() / "copy.dll");
    fs::path start = fs::current_path();
    fs::current_path(tree.root());
    HINSTANCE copy = LoadLibraryA("./copy.dll");
    fs::current_path(tree.nativeDir());
    char name[1024];
    ASSERT_GT(GetModuleFileNameA(copy, name, sizeof name), 0U);
    fs::current_path(start);
    EXPECT_EQ(name, fs::canonical(tree.root() / "copy.dll").string());
}

TEST(Loader, TextConvertsBetweenUtf8AndWideAndLocalTimeIsTheCLibrarys) {
    const char* text = "caf\xC3\xA9 \xF0\x9F\x90\xAA";
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 7);
    std::wstring wide(7, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), 7);
    EXPECT_EQ(static_cast<char32_t>(wide[5]), U'\U0001F42A');
    std::string back(
        static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), 6, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), 6, back.data(), static_cast<int>(back.size()), nullptr, nullptr);
    EXPECT_EQ(back, text);
    const char bad[] = {'a', static_cast<char>(0xC3), 'b', static_cast<char>(0xFF)};
    wchar_t out[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bad, 4, out, 8), 4);
    EXPECT_EQ(std::wstring(out, 4), L"a\uFFFDb\uFFFD");  // malformed bytes become replacement characters
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bad, 4, out, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    std::tm out1{}, expected{};
    std::time_t when = 1'700'000'000;
    EXPECT_EQ(localtime_s(&out1, &when), 0);
    localtime_r(&when, &expected);
    EXPECT_EQ(std::mktime(&out1), std::mktime(&expected));
    EXPECT_NE(localtime_s(nullptr, &when), 0);
}

TEST(SharedLibrary, OwnsOneReferenceAndGivesItBackUnlessKept) {
    SharedLibrary missing("/no/such/Lib.dll");
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(missing.Failure().code, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(missing.Get<void (*)()>("anything"), nullptr);
    {
        veltrix::test::FakeLibraries fakes;
        fakes.Add("a.dll", {{"f", reinterpret_cast<void*>(&ProgramDirectory)}});
        SharedLibrary first("a.dll");
        EXPECT_EQ(first.Get<std::string (*)()>("f")(), ProgramDirectory());
        SharedLibrary moved(std::move(first));
        EXPECT_FALSE(first.IsLoaded());
        first = SharedLibrary("a.dll");
        EXPECT_EQ(fakes.References("a.dll"), 2);
        first = std::move(moved);
        EXPECT_EQ(fakes.References("a.dll"), 1);
        EXPECT_NE(first.Keep(), nullptr);
        EXPECT_FALSE(first.IsLoaded());
    }
    EXPECT_EQ(&VeltrixNS::Native::Platform::LibraryLoader::Current(),
              VeltrixNS::Native::Platform::LibraryLoader::Replace(nullptr));  // the system's again
}

TEST(LibrariesFinder, PathsAreThisLibrarysDirectoryWithForwardSlashes) {
    std::string own = LibrariesFinder::getThisLibraryPath();
    EXPECT_EQ(own, ProgramDirectory());
    EXPECT_EQ(LibrariesFinder::pathToDir, own);
    EXPECT_EQ(LibrariesFinder::nativeDirectoryRelativePath, "/Binaries/Native/Windows/X64/");
    EXPECT_EQ(LibrariesFinder::getThisLibraryPathW(), fs::path(own).wstring());
    EXPECT_EQ(LibrariesFinder::getBinariesRootPath(), own + "../../../../");
    EXPECT_EQ(LibrariesFinder::getBinariesRootPathW(), fs::path(own + "../../../../").wstring());
    EXPECT_EQ(LibrariesFinder::getCurrentWorkingDirectory(), fs::current_path().string());
    EXPECT_EQ(LibrariesFinder::getCurrentWorkingDirectoryW(), fs::current_path().wstring());
    EXPECT_EQ(LibrariesFinder::getRuntimeLibraryPath(0), own + "VeltrixClrRuntimeNative.dll");
    EXPECT_EQ(LibrariesFinder::getRuntimeLibraryPath(99), own + "Unknown");
}

TEST(LibrariesFinder, ALoadFailureIsNullOrCode001NamingThePath) {
    EXPECT_EQ(LibrariesFinder::loadLibrary(std::string("/no/such/Lib.dll"), false, true), nullptr);
    EXPECT_EQ(errorOf([] { LibrariesFinder::loadLibrary(std::string("/no/such/Lib.dll"), true, true); }),
              "Veltrix Core Exception: Exception code 001. \nCannot load: /no/such/Lib.dll. \nError: 126 - "
              "/no/such/Lib.dll: cannot open shared object file: No such file or directory");
    EXPECT_EQ(LibrariesFinder::loadLibrary(std::wstring(L"/no/such/W.dll"), false), nullptr);
    EXPECT_EQ(errorOf([] { LibrariesFinder::loadLibrary(std::wstring(L"/no/such/W.dll"), true); }),
              "Veltrix Core Exception: Exception code 001. \nCannot load: /no/such/W.dll\nError: 126");
    // No OpenSSL library lies beside the program: the second path, with its doubled slash, is named.
    EXPECT_NE(errorOf([] {
                  LibrariesFinder::loadUtilsLibrary(true);
              }).find("Cannot load: " + ProgramDirectory() + "/Binaries/Native/Windows/X64/libcrypto-3-x64.dll. "),
              std::string::npos);
    EXPECT_EQ(LibrariesFinder::loadUtilsLibrary(false), nullptr);
    EXPECT_EQ(LibrariesFinder::loadVeltrixTcpTlsClientLibrary(false), nullptr);
}

TEST(RuntimeNames, EveryNumberHasItsNameAndLibraryAndAnyOtherIsUnknown) {
    std::string names;
    for (int i : {INT32_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 255})
        names += RuntimeNameHandler::GetRuntimeName(i) + " ";
    EXPECT_EQ(names, "Unknown Unknown Clr Go Jvm Netcore Perl Python Ruby Nodejs Cpp Php Python2 Unknown Unknown ");
    EXPECT_EQ(RuntimeNameHandler::getRuntimeLibraryName(10), "VeltrixPython2RuntimeNative.dll");
    EXPECT_EQ(RuntimeNameHandler::getRuntimeLibraryName(11), "Unknown");
}

TEST(FileLogger, TextConversionsAndTheDailyMessageLog) {
    EXPECT_EQ(FileLogger::wstringToString(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(FileLogger::wstringToString(L""), "");
    EXPECT_EQ(FileLogger::wstringToString(std::wstring(L"ab\0cd", 5)).size(), 5U);
    EXPECT_EQ(FileLogger::stringToWString(std::string("ab\0cd", 5)), L"ab");

    veltrix::test::TempProductTree tree;
    fs::path start = fs::current_path();
    fs::current_path(tree.root());
    testing::internal::CaptureStdout();
    byte bytes[] = {0x00, 0x41, 0xFF};
    FileLogger::native_printToFile(bytes, 3);
    FileLogger::native_printToFile(std::string("second"));
    std::string printed = testing::internal::GetCapturedStdout();
    fs::current_path(start);
    fs::path file;
    for (const auto& entry : fs::directory_iterator(tree.root())) {
        if (entry.is_regular_file()) file = entry.path();
    }
    EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(_VeltrixMessages_\d{4}-\d\d-\d\d\.txt)")));
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, printed);
    EXPECT_TRUE(std::regex_match(
        content, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tThread ID: \d+\t0\t65\t255\t\n.*\tsecond\n)")))
        << content;
}

}  // namespace
