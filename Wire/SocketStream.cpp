// SocketStream.cpp: connect with a time-out, and blocking send/recv whose waits are bounded.
#include "SocketStream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "WireProtocol.h"

namespace VeltrixNS::Wire {

namespace {

int ToPollTimeout(Clock::duration remaining) {
    auto ms = std::chrono::ceil<Milliseconds>(remaining).count();
    if (ms < 0) return 0;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

timeval ToTimeval(Milliseconds limit) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    return tv;
}

std::string SystemText(int error) {
    return std::system_category().message(error);
}

// A failed recv/send: the socket's time-out shows as EAGAIN, anything else keeps its errno.
asio::error_code ioError(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) return asio::error::timed_out;
    return asio::error_code(error, asio::system_category());
}

}  // namespace

asio::io_context& SharedContext() {
    static asio::io_context context;
    return context;
}

SocketStream::SocketStream(SocketStream&& other) noexcept
    : executor_(other.executor_), fd_(other.fd_), read_(other.read_), write_(other.write_) {
    other.fd_ = -1;
}

void SocketStream::Connect(const asio::ip::tcp::endpoint& endpoint, Milliseconds timeout) {
    Close();
    int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) throw WireError(Failure::Connect, "cannot create a socket: " + SystemText(errno));
    fd_ = fd;
    int rc = ::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size()));
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        auto deadline = Clock::now() + timeout;
        for (;;) {
            rc = ::poll(&p, 1, ToPollTimeout(deadline - Clock::now()));
            if (rc < 0 && errno == EINTR) continue;
            break;
        }
        if (rc == 0) {
            Close();
            throw WireError(Failure::Timeout, "no connection within " + std::to_string(timeout.count()) + " ms");
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (rc < 0)
            error = errno;
        else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0) {
            Close();
            throw WireError(Failure::Connect, SystemText(error));
        }
    } else if (rc != 0) {
        int error = errno;
        Close();
        throw WireError(Failure::Connect, SystemText(error));
    }
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

void SocketStream::SetWaitLimits(Milliseconds receive, Milliseconds send) {
    read_.limit = receive;
    write_.limit = send;
    read_.cut = write_.cut = false;
    timeval r = ToTimeval(receive), s = ToTimeval(send);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s);
}

void SocketStream::SetNoDelay() {
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SocketStream::PeerHungUp() const {
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLRDHUP, 0};
    int rc = ::poll(&p, 1, 0);
    return rc > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool SocketStream::WaitReadable(Milliseconds timeout) const {
    pollfd p{fd_, POLLIN, 0};
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int rc = ::poll(&p, 1, ToPollTimeout(deadline - Clock::now()));
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

void SocketStream::Close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    read_ = Waits{};
    write_ = Waits{};
}

std::string SocketStream::PeerText() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "unknown peer";
    char text[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

std::size_t SocketStream::Receive(void* data, std::size_t size, asio::error_code& ec) {
    if (fd_ < 0) {
        ec = asio::error::bad_descriptor;
        return 0;
    }
    for (;;) {
        if (!Bound(SO_RCVTIMEO, read_)) {
            ec = asio::error::timed_out;
            return 0;
        }
        ssize_t n = ::recv(fd_, data, size, 0);
        if (n > 0) {
            ec = asio::error_code();
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            ec = asio::error::eof;
            return 0;
        }
        // The socket's time-out ends a wait; under a deadline the next round decides.
        if (errno == EINTR || (read_.deadline && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
        ec = ioError(errno);
        return 0;
    }
}

// A blocking wait must not outlast the deadline: the socket's time-out is cut to what remains when that is less
// than its usual limit (by more than a few milliseconds, so that a wait that starts with the deadline costs no
// system call), and restored once no deadline is near. False when the deadline has passed.
bool SocketStream::Bound(int option, Waits& waits) {
    constexpr Milliseconds kSlack{10};
    bool cut = false;
    Milliseconds remaining{0};
    if (waits.deadline) {
        remaining = std::chrono::ceil<Milliseconds>(*waits.deadline - Clock::now());
        if (remaining.count() <= 0) return false;
        cut = waits.limit.count() == 0 || remaining + kSlack < waits.limit;
    }
    if (cut || waits.cut) {
        timeval tv = ToTimeval(cut ? remaining : waits.limit);
        ::setsockopt(fd_, SOL_SOCKET, option, &tv, sizeof tv);
        waits.cut = cut;
    }
    return true;
}

std::size_t SocketStream::Send(const iovec* iov, int count, asio::error_code& ec) {
    if (fd_ < 0) {
        ec = asio::error::bad_descriptor;
        return 0;
    }
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(iov);
    message.msg_iovlen = static_cast<std::size_t>(count);
    for (;;) {
        if (!Bound(SO_SNDTIMEO, write_)) {
            ec = asio::error::timed_out;
            return 0;
        }
        ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (n >= 0) {
            ec = asio::error_code();
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR || (write_.deadline && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
        ec = ioError(errno);
        return 0;
    }
}

}  // namespace VeltrixNS::Wire
