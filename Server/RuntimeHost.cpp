// RuntimeHost.cpp: driving the bridge's receiver, and Exception responses for what fails on the way.
#include "RuntimeHost.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "Common/Utf8.h"
#include "Definitions/commandHeader.h"
#include "Definitions/runtimes.h"
#include "IReceiver.h"

namespace VeltrixNS::Server {

namespace {

using Native::Definitions::CommandHeader;
namespace Limits = Native::Definitions::Limits;
constexpr auto kPerlRuntime = static_cast<std::uint8_t>(Native::Definitions::Runtime::PerlRuntime);

// The header of a command, zero-filled where a short one ends; an empty command was meant for Perl.
CommandHeader HeaderOf(const std::uint8_t* command, std::uint32_t length) {
    std::array<std::uint8_t, Limits::HeaderLength> bytes{};
    bytes[Native::Definitions::HeaderOffset::CalledRuntime] = kPerlRuntime;
    if (length != 0) std::memcpy(bytes.data(), command, std::min<std::size_t>(length, bytes.size()));
    return CommandHeader::Read(bytes.data());
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t valid = VeltrixUtf8InvalidOffset(bytes + at, text.size() - at);
        out.append(text.substr(at, valid));
        at += valid;
        if (at < text.size()) {
            out.push_back('?');
            ++at;
        }
    }
    return out;
}

RuntimeHost::RuntimeHost(const std::string& productDir)
    : session_(std::make_shared<HostClient::Session>(HostClient::PerlClient::BridgePath(productDir), std::nullopt)) {}

void RuntimeHost::Execute(std::uint8_t* command, std::uint32_t length, std::vector<std::uint8_t>& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (length < Limits::HeaderLength) {
            throw std::runtime_error("veltrix-server: command of " + std::to_string(length) +
                                     " bytes is shorter than the " + std::to_string(Limits::HeaderLength) +
                                     "-byte message header");
        }
        if (!initialized_) {
            // The first command names the calling runtime and the requested Perl version.
            CommandHeader header = CommandHeader::Read(command);
            session_->receiver()->Initialize(header.callingRuntime, kPerlRuntime, header.calledRuntimeVersion);
            initialized_ = true;
        }
        std::span<const std::uint8_t> answer = session_->RoundTrip({command, length});
        response.assign(answer.begin(), answer.end());
    } catch (const std::exception& error) {
        HostClient::Encoder::exceptionResponse(response, HeaderOf(command, length), ValidUtf8(error.what()));
    }
}

}  // namespace VeltrixNS::Server
