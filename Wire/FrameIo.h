// FrameIo.h: reading and writing frames over a plain or TLS stream, with reused buffers.
#pragma once
#include <algorithm>
#include <array>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/write.hpp>
#include <atomic>
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

// Bytes that frame buffers hold beyond their first block, counted against a limit that every reader using the
// same counter shares (across processes when the counter lives in shared memory). Lock-free, thread-safe.
class BufferBudget {
public:
    BufferBudget(std::atomic<std::uint64_t>& used, std::uint64_t limit) : used_(used), limit_(limit) {}
    bool Take(std::size_t bytes) noexcept {
        std::uint64_t now = used_.load(std::memory_order_relaxed);
        do {
            if (now + bytes > limit_) return false;
        } while (!used_.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
        return true;
    }
    void Give(std::size_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    std::uint64_t Limit() const noexcept { return limit_; }

private:
    std::atomic<std::uint64_t>& used_;
    std::uint64_t limit_;
};

// Reads frames into one reused buffer. The buffer grows with the bytes that actually arrive (never to the length
// a header announces before the body is there), and goes back to its first size once a large frame is consumed.
class FrameReader {
public:
    explicit FrameReader(std::uint32_t maxFrameBytes, std::size_t initialBytes = 64 * 1024,
                         BufferBudget* budget = nullptr)
        : buffer_(initialBytes), initial_(initialBytes), max_(maxFrameBytes), budget_(budget) {}
    ~FrameReader() { Shrink(true); }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;
    void SetMaxFrameBytes(std::uint32_t maxFrameBytes) { max_ = maxFrameBytes; }
    void Reset() noexcept {
        begin_ = end_ = 0;
        Shrink(false);
    }
    std::size_t Capacity() const noexcept { return buffer_.size(); }

    // Reads the next frame. `started` runs once the first bytes of the frame are in (or were already buffered).
    // A budget that has no room for a growing frame makes it a TooLarge WireError.
    template <typename Stream, typename Started>
    FrameView Read(Stream& stream, Started&& started) {
        if (begin_ == end_) Reset();
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
        while (end_ - begin_ < need) {
            if (end_ == buffer_.size()) Grow(need);
            FillSome(stream);
        }
    }
    template <typename Stream>
    void FillSome(Stream& stream) {
        asio::error_code ec;
        std::size_t n = stream.read_some(asio::buffer(buffer_.data() + end_, buffer_.size() - end_), ec);
        if (ec) ThrowStreamError(ec, "reading a frame");
        end_ += n;
    }
    // The buffer is full and the frame needs `need` bytes from begin_: make room, at most doubling.
    void Grow(std::size_t need) {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
            if (end_ < buffer_.size()) return;
        }
        std::size_t size = std::min(need, std::max(buffer_.size() * 2, initial_));
        if (budget_ != nullptr && !budget_->Take(size - buffer_.size())) {
            throw WireError(Failure::TooLarge, "frame of " + std::to_string(need - Limits::FrameHeaderLength) +
                                                   " bytes refused: frames in flight would exceed the limit of " +
                                                   std::to_string(budget_->Limit()) + " bytes");
        }
        buffer_.resize(size);
    }
    // Back to the first size when nothing is buffered (or always, when the reader goes).
    void Shrink(bool always) noexcept {
        if (buffer_.size() <= initial_ || (!always && begin_ != end_)) return;
        if (budget_ != nullptr) budget_->Give(buffer_.size() - initial_);
        if (always) return;
        buffer_.resize(initial_);
        buffer_.shrink_to_fit();
    }

    std::vector<std::uint8_t> buffer_;
    std::size_t initial_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint32_t max_;
    BufferBudget* budget_;
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
