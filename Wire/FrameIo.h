// FrameIo.h: reading and writing frames over a plain or TLS stream, with reused buffers.
#pragma once
#include <algorithm>
#include <array>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <vector>

#include "WireProtocol.h"

namespace VeltrixNS::Wire {

// Turns a stream error into a WireError whose text says what was being done.
[[noreturn]] void ThrowStreamError(const asio::error_code& ec, const char* doing);

// A received frame; the body stays valid until the next Read or Reset of its reader.
struct FrameView {
    FrameKind kind;
    const std::uint8_t* body;
    std::uint32_t length;
};

class FrameReader {
public:
    explicit FrameReader(std::uint32_t maxFrameBytes, std::size_t initialBytes = 64 * 1024)
        : buffer_(initialBytes), max_(maxFrameBytes) {}
    void SetMaxFrameBytes(std::uint32_t maxFrameBytes) { max_ = maxFrameBytes; }
    void Reset() noexcept { begin_ = end_ = 0; }

    // Reads the next frame. `started` runs once the first bytes of the frame are in (or were already buffered).
    template <typename Stream, typename Started>
    FrameView Read(Stream& stream, Started&& started) {
        if (begin_ == end_) begin_ = end_ = 0;
        if (begin_ == end_) FillSome(stream);
        started();
        Fill(stream, Limits::FrameHeaderLength);
        FrameHeader header = DecodeHeader(&buffer_[begin_], max_);
        std::size_t total = Limits::FrameHeaderLength + header.length;
        Fill(stream, total);
        FrameView view{header.kind, buffer_.data() + begin_ + Limits::FrameHeaderLength, header.length};
        begin_ += total;
        return view;
    }
    template <typename Stream>
    FrameView Read(Stream& stream) {
        return Read(stream, [] {});
    }

private:
    template <typename Stream>
    void Fill(Stream& stream, std::size_t need) {
        if (end_ - begin_ >= need) return;
        if (buffer_.size() - begin_ < need) {
            if (begin_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
            }
            if (buffer_.size() < need) buffer_.resize(need);
        }
        while (end_ - begin_ < need) FillSome(stream);
    }
    template <typename Stream>
    void FillSome(Stream& stream) {
        asio::error_code ec;
        std::size_t n = stream.read_some(asio::buffer(buffer_.data() + end_, buffer_.size() - end_), ec);
        if (ec) ThrowStreamError(ec, "reading a frame");
        end_ += n;
    }

    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint32_t max_;
};

// Writes one frame. With `coalesce` (TLS) small frames are copied into `scratch` first so that they leave as one
// record; otherwise header and body go out together through a gathered write.
template <typename Stream>
void WriteFrame(Stream& stream, FrameKind kind, const std::uint8_t* body, std::uint32_t length,
                std::vector<std::uint8_t>& scratch, bool coalesce) {
    constexpr std::uint32_t kCoalesceLimit = 16 * 1024;
    asio::error_code ec;
    if (coalesce && length <= kCoalesceLimit) {
        if (scratch.size() < Limits::FrameHeaderLength + kCoalesceLimit)
            scratch.resize(Limits::FrameHeaderLength + kCoalesceLimit);
        EncodeHeader(scratch.data(), kind, length);
        if (length != 0) std::memcpy(scratch.data() + Limits::FrameHeaderLength, body, length);
        asio::write(stream, asio::buffer(scratch.data(), Limits::FrameHeaderLength + length), ec);
    } else {
        std::uint8_t header[Limits::FrameHeaderLength];
        EncodeHeader(header, kind, length);
        // Not asio::write: it hands out at most 64 KiB per call, and large frames should leave in few system calls.
        std::array<asio::const_buffer, 2> buffers{asio::buffer(header, Limits::FrameHeaderLength),
                                                  asio::buffer(body, length)};
        while (buffers[0].size() + buffers[1].size() != 0 && !ec) {
            std::size_t n = stream.write_some(buffers, ec);
            std::size_t first = std::min(n, buffers[0].size());
            buffers[0] += first;
            buffers[1] += n - first;
            if (buffers[0].size() == 0) buffers = {buffers[1], asio::const_buffer()};
        }
    }
    if (ec) ThrowStreamError(ec, "writing a frame");
}

}  // namespace VeltrixNS::Wire
