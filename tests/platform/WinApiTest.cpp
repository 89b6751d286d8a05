// The Windows-named loader, error and text calls behave as their callers expect.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/WinApi.h"
#include "TempProductTree.h"

namespace {

std::string lastErrorText() {
    LPWSTR buffer = nullptr;
    DWORD code = GetLastError();
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0x0409, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text;
    for (DWORD i = 0; i < length; ++i) text += static_cast<char>(buffer[i]);
    LocalFree(buffer);
    return text;
}

}  // namespace

TEST(Loader, MissingFileIsModuleNotFoundWithTheLoadersReason) {
    EXPECT_EQ(LoadLibraryA("/nonexistent/dir/libnothing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    std::string text = lastErrorText();
    EXPECT_NE(text.find("/nonexistent/dir/libnothing.dll"), std::string::npos) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
}

TEST(Loader, FileThatIsNotASharedObjectIsBadImage) {
    veltrix::test::TempProductTree tree;
    auto path = tree.writeFile("notalib.dll", "this is plain text, not an ELF image\n");
    EXPECT_EQ(LoadLibraryA(path.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    EXPECT_FALSE(lastErrorText().empty());
}

TEST(Loader, EmptyPathFails) {
    EXPECT_EQ(LoadLibraryA(""), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Loader, SameFileTwiceIsTheSameModuleAndMissingExportIsProcNotFound) {
    HINSTANCE first = LoadLibraryA("libm.so.6");
    HINSTANCE second = LoadLibraryA("libm.so.6");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(GetProcAddress(first, "cos"), nullptr);
    EXPECT_EQ(GetProcAddress(first, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(lastErrorText().find("NoSuchExportAnywhere"), std::string::npos);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(Loader, ModuleFromAddressAndItsFileName) {
    HINSTANCE libm = LoadLibraryA("libm.so.6");
    ASSERT_NE(libm, nullptr);
    auto cosine = reinterpret_cast<LPCSTR>(GetProcAddress(libm, "cos"));
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, cosine, &found));
    EXPECT_EQ(found, libm);
    char name[1024];
    DWORD length = GetModuleFileNameA(found, name, sizeof name);
    ASSERT_GT(length, 0U);
    EXPECT_NE(std::string(name).find("libm.so.6"), std::string::npos);
    // A name longer than the buffer is cut and terminated; the result is the buffer size.
    char small[5];
    EXPECT_EQ(GetModuleFileNameA(found, small, sizeof small), sizeof small);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
    wchar_t wide[1024];
    EXPECT_EQ(GetModuleFileNameW(found, wide, 1024), length);
    FreeLibrary(libm);
}

TEST(Loader, AddressOutsideAnyModuleIsNotFound) {
    HMODULE found = reinterpret_cast<HMODULE>(1);
    int onStack = 0;
    EXPECT_FALSE(
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&onStack), &found));
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Text, Utf8AndWideRoundTrip) {
    const char* text = "caf\xC3\xA9 \xF0\x9F\x90\xAA";  // "café 🐪"
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    ASSERT_EQ(wideLength, 7);  // six characters and the NUL
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), wideLength);
    EXPECT_EQ(wide[3], L'\u00E9');
    EXPECT_EQ(static_cast<char32_t>(wide[5]), U'\U0001F42A');
    int narrowLength = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), 6, nullptr, 0, nullptr, nullptr);
    std::string back(static_cast<size_t>(narrowLength), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), 6, back.data(), narrowLength, nullptr, nullptr);
    EXPECT_EQ(back, text);
}

TEST(Text, MalformedBytesBecomeReplacementCharacters) {
    const char bad[] = {'a', static_cast<char>(0xC3), 'b', static_cast<char>(0xFF)};
    wchar_t out[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bad, 4, out, 8), 4);
    EXPECT_EQ(out[1], L'\uFFFD');
    EXPECT_EQ(out[3], L'\uFFFD');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bad, 4, out, 2), 0);  // buffer too small
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Time, LocaltimeSMatchesTheCLibraryAndReportsBadArguments) {
    std::tm out{};
    std::tm expected{};
    std::time_t when = 1'700'000'000;
    EXPECT_EQ(localtime_s(&out, &when), 0);
    localtime_r(&when, &expected);
    EXPECT_EQ(std::mktime(&out), std::mktime(&expected));
    EXPECT_NE(localtime_s(nullptr, &when), 0);
    EXPECT_NE(localtime_s(&out, nullptr), 0);
}
