// TransportFixture.h: a throw-away product tree holding the test library and the stand-ins it should find.
#pragma once
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Library.h"
#include "Standins.h"
#include "TempProductTree.h"
#include "TransportHarness.h"

namespace transport_test {

namespace fs = std::filesystem;
using transport_harness::ITransmitter;
using transport_harness::ITransport;

// The message of the failure f raises, prefixed when it is not a VeltrixNativeException.
template <typename F>
std::string FailureOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        std::string type = abi::__cxa_current_exception_type()->name();
        return (type == "22VeltrixNativeException" ? "" : "[" + type + "] ") + e.what();
    }
    return "<no exception>";
}

// A command message: header fields, then the body.
struct Header {
    byte called = 0;
    byte version = 0;
    byte channel = 0;
    std::array<byte, 4> address{0, 0, 0, 0};
    unsigned short port = 0;
    byte calling = 4;
    byte type = 9;
};

inline std::vector<byte> Command(const Header& h, std::initializer_list<byte> body = {}) {
    std::vector<byte> message{h.called,
                              h.version,
                              h.channel,
                              h.address[0],
                              h.address[1],
                              h.address[2],
                              h.address[3],
                              static_cast<byte>(h.port & 0xFF),
                              static_cast<byte>(h.port >> 8),
                              h.calling,
                              h.type};
    for (byte b : body) message.push_back(b);
    return message;
}

inline Header Tcp(unsigned short port, byte channel = 1) {
    Header h;
    h.channel = channel;
    h.address = {10, 0, 0, 1};
    h.port = port;
    return h;
}

// "11:00 02 ..." as the stand-ins log messages.
inline std::string Hex(const std::vector<byte>& bytes) {
    std::string text = std::to_string(bytes.size()) + ":";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

class TransportFixture : public ::testing::Test {
protected:
    // Copies a stand-in (or other library) into the native directory under the given file name.
    fs::path Add(const char* builtLibrary, const std::string& fileName) {
        return tree.addNativeLibrary(builtLibrary, fileName);
    }
    fs::path AddRuntime(const std::string& fileName, const char* builtLibrary = STANDIN_RUNTIME) {
        return Add(builtLibrary, fileName);
    }
    // The client libraries preload OpenSSL under its product names from the native directory.
    void AddOpenSsl() {
        fs::create_symlink(TRANSPORT_LIBCRYPTO, tree.nativeDir() / "libcrypto-3-x64.dll");
        fs::create_symlink(TRANSPORT_LIBSSL, tree.nativeDir() / "libssl-3-x64.dll");
    }

    // Loads the test library from the tree; call after the stand-ins are in place.
    const transport_harness::Api& Harness() {
        if (harness == nullptr) {
            auto path = tree.addNativeLibrary(TRANSPORT_HARNESS, "TransportHarness.dll");
            harness = std::make_unique<veltrix::test::Library>(path.string());
            api = harness->get<TransportHarnessFn>("TransportHarness")();
        }
        return *api;
    }

    std::unique_ptr<ITransmitter> NewTransmitter() {
        return std::unique_ptr<ITransmitter>(Harness().NewTransmitter(0));
    }

    fs::path Native(const std::string& fileName) const { return tree.nativeDir() / fileName; }
    std::string Dir() const { return tree.nativeDir().string() + "/"; }
    std::string Log(const std::string& fileName) const { return veltrix::test::StandinCallLog(Native(fileName)); }
    void ClearLog(const std::string& fileName) const { veltrix::test::StandinClearLog(Native(fileName)); }
    bool Loaded(const std::string& fileName) const { return veltrix::test::StandinLoaded(Native(fileName)); }

    veltrix::test::TempProductTree tree;
    // Declared after the tree and before any object of a test: unloaded after those objects are gone.
    std::unique_ptr<veltrix::test::Library> harness;
    const transport_harness::Api* api = nullptr;
};

inline const std::string clr = "VeltrixClrRuntimeNative.dll";
inline const std::string perl = "VeltrixPerlRuntimeNative.dll";
inline const std::string python = "VeltrixPythonRuntimeNative.dll";
inline const std::string tcpClient = "VeltrixTcpClient.dll";
inline const std::string tlsClient = "VeltrixTcpTlsClient.dll";

}  // namespace transport_test
