// SocketStream.h: a connected TCP socket with bounded blocking I/O, usable on its own or below asio's SSL stream.
#pragma once
#include <sys/uio.h>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace VeltrixNS::Wire {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// One io_context per process; nothing runs it: it only backs the executors that asio's SSL stream asks for.
asio::io_context& SharedContext();

class SocketStream {
public:
    using lowest_layer_type = SocketStream;
    using executor_type = asio::io_context::executor_type;

    SocketStream() : executor_(SharedContext().get_executor()) {}
    // Takes ownership of an accepted or connected descriptor.
    explicit SocketStream(int fd) : executor_(SharedContext().get_executor()), fd_(fd) {}
    ~SocketStream() { Close(); }
    SocketStream(SocketStream&& other) noexcept;
    SocketStream& operator=(SocketStream&&) = delete;
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    executor_type get_executor() noexcept { return executor_; }
    lowest_layer_type& lowest_layer() noexcept { return *this; }
    const lowest_layer_type& lowest_layer() const noexcept { return *this; }

    // Connects within `timeout`; throws WireError (Connect or Timeout) with the system's reason.
    void Connect(const asio::ip::tcp::endpoint& endpoint, Milliseconds timeout);
    // Every single wait for input or output space ends after these limits (SO_RCVTIMEO / SO_SNDTIMEO).
    void SetWaitLimits(Milliseconds receive, Milliseconds send);
    void SetNoDelay();
    // With a deadline, a wait for input (or for room to send) also ends there: a frame that started, or a whole
    // command and its answer, must finish in time however slowly the bytes trickle.
    void SetReadDeadline(std::optional<Clock::time_point> deadline) { read_.deadline = deadline; }
    void SetWriteDeadline(std::optional<Clock::time_point> deadline) { write_.deadline = deadline; }
    // The peer closed or reset the connection (checked without waiting).
    bool PeerHungUp() const;
    // Waits up to `timeout` for input; false on time-out.
    bool WaitReadable(Milliseconds timeout) const;
    void Close() noexcept;
    bool IsOpen() const noexcept { return fd_ >= 0; }
    int Fd() const noexcept { return fd_; }
    std::string PeerText() const;

    template <typename MutableBufferSequence>
    std::size_t read_some(const MutableBufferSequence& buffers, asio::error_code& ec) {
        for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers); ++it) {
            asio::mutable_buffer b(*it);
            if (b.size() != 0) return Receive(b.data(), b.size(), ec);
        }
        ec = asio::error_code();
        return 0;
    }
    template <typename MutableBufferSequence>
    std::size_t read_some(const MutableBufferSequence& buffers) {
        asio::error_code ec;
        std::size_t n = read_some(buffers, ec);
        if (ec) throw std::system_error(ec);
        return n;
    }
    template <typename ConstBufferSequence>
    std::size_t write_some(const ConstBufferSequence& buffers, asio::error_code& ec) {
        iovec iov[kMaxGather];
        int count = 0;
        for (auto it = asio::buffer_sequence_begin(buffers);
             it != asio::buffer_sequence_end(buffers) && count < kMaxGather; ++it) {
            asio::const_buffer b(*it);
            if (b.size() == 0) continue;
            iov[count].iov_base = const_cast<void*>(b.data());
            iov[count].iov_len = b.size();
            ++count;
        }
        if (count == 0) {
            ec = asio::error_code();
            return 0;
        }
        return Send(iov, count, ec);
    }
    template <typename ConstBufferSequence>
    std::size_t write_some(const ConstBufferSequence& buffers) {
        asio::error_code ec;
        std::size_t n = write_some(buffers, ec);
        if (ec) throw std::system_error(ec);
        return n;
    }

private:
    static constexpr int kMaxGather = 8;
    // One direction's waits: the socket's own time-out (SO_RCVTIMEO or SO_SNDTIMEO) and an optional deadline.
    struct Waits {
        std::optional<Clock::time_point> deadline;
        Milliseconds limit{0};  // as SetWaitLimits set it; 0: none
        bool cut = false;       // the socket's time-out is below `limit` for a near deadline
    };
    bool Bound(int option, Waits& waits);
    std::size_t Receive(void* data, std::size_t size, asio::error_code& ec);
    std::size_t Send(const iovec* iov, int count, asio::error_code& ec);

    executor_type executor_;
    int fd_ = -1;
    Waits read_;
    Waits write_;
};

}  // namespace VeltrixNS::Wire
