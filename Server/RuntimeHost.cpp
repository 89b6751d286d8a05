// RuntimeHost.cpp: loading the bridge, driving its receiver, and Exception responses for failures.
#include "RuntimeHost.h"

#include <dlfcn.h>

#include <stdexcept>

namespace VeltrixNS::Server {

namespace {

constexpr std::size_t kHeaderBytes = 11;
constexpr std::uint8_t kPerlRuntime = 4;
constexpr int kCalledRuntimeMode = 1;
constexpr std::uint8_t kExceptionCommand = 10;

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Strings of the command format must be UTF-8: invalid sequences become '?'.
std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        bool ok = extra < 4 && i + extra < text.size();
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            ok = i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (ok) {
            out.append(text, i, extra + 1);
            i += extra + 1;
        } else {
            out.push_back('?');
            ++i;
        }
    }
    return out;
}

void PutString(std::vector<std::uint8_t>& out, const std::string& text) {
    out.push_back(0x05);
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

void BuildExceptionResponse(const std::uint8_t* command, std::uint32_t length, const std::string& text,
                            std::vector<std::uint8_t>& response) {
    response.assign(kHeaderBytes, 0);
    // Answer goes back to the calling runtime (byte 9), from the called one (byte 0).
    response[0] = length > 9 ? command[9] : 0;
    response[9] = length > 0 ? command[0] : kPerlRuntime;
    response[10] = kExceptionCommand;
    response.push_back(0x08);
    PutU32(response, 3);
    PutString(response, "message");
    PutString(response, ValidUtf8(text));
    PutString(response, "class");
    PutString(response, "");
    PutString(response, "stack");
    PutString(response, "");
}

RuntimeHost::RuntimeHost(const std::string& productDir) {
    std::string path = productDir + "/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll";
    // Global: Perl extension modules loaded later resolve the interpreter's symbols through it.
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library_ == nullptr) throw std::runtime_error(std::string("cannot load the Perl runtime: ") + dlerror());
    using CreateReceiverFn = Native::Interfaces::IReceiver* (*)(int);
    auto create = reinterpret_cast<CreateReceiverFn>(dlsym(library_, "CreateReceiver"));
    if (create == nullptr) throw std::runtime_error(path + " does not export CreateReceiver");
    receiver_ = create(kCalledRuntimeMode);
    if (receiver_ == nullptr) throw std::runtime_error(path + ": CreateReceiver returned no receiver");
}

void RuntimeHost::Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (length < kHeaderBytes) {
            throw std::runtime_error("veltrix-server: command of " + std::to_string(length) +
                                     " bytes is shorter than the 11-byte message header");
        }
        if (!initialized_) {
            // The first command names the calling runtime and the requested Perl version.
            receiver_->Initialize(command[9], kPerlRuntime, command[1]);
            initialized_ = true;
        }
        int size = receiver_->SendCommand(command, static_cast<std::int32_t>(length));
        if (size < 0) throw std::runtime_error("veltrix-server: the receiver answered " + std::to_string(size));
        response.resize(static_cast<std::size_t>(size));
        receiver_->ReadResponse(response.data(), size);
    } catch (const std::exception& error) {
        BuildExceptionResponse(command, length, error.what(), response);
    }
}

}  // namespace VeltrixNS::Server
