// HandOver.h: an accepted connection passed from the supervisor to a worker process over their control socket:
// its number as the data, its descriptor as SCM_RIGHTS.
#pragma once
#include <sys/socket.h>

#include <cstring>

namespace VeltrixNS::Server {

// One message of a connection number with room for one descriptor.
class HandOverMessage {
public:
    HandOverMessage() {
        header_.msg_iov = &data_;
        header_.msg_iovlen = 1;
        header_.msg_control = control_;
        header_.msg_controllen = sizeof control_;
    }
    HandOverMessage(const HandOverMessage&) = delete;
    HandOverMessage& operator=(const HandOverMessage&) = delete;

    int id = 0;
    msghdr* Header() { return &header_; }

private:
    iovec data_{&id, sizeof id};
    alignas(cmsghdr) char control_[CMSG_SPACE(sizeof(int))] = {};
    msghdr header_{};
};

// Sends connection `id` with its descriptor without waiting; false when the worker does not take it now.
inline bool SendConnection(int controlFd, int id, int fd) {
    HandOverMessage message;
    message.id = id;
    cmsghdr* c = CMSG_FIRSTHDR(message.Header());
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return ::sendmsg(controlFd, message.Header(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0;
}

// A descriptor handed over, with the connection's number; fd -1 when none came.
struct HandedOver {
    int fd = -1;
    int id = 0;
    bool supervisorGone = false;
};

inline HandedOver ReceiveConnection(int controlFd) {
    HandedOver in;
    HandOverMessage message;
    ssize_t n = ::recvmsg(controlFd, message.Header(), MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (n == 0) in.supervisorGone = true;
    if (n <= 0) return in;
    for (cmsghdr* c = CMSG_FIRSTHDR(message.Header()); c != nullptr; c = CMSG_NXTHDR(message.Header(), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&in.fd, CMSG_DATA(c), sizeof(int));
    }
    in.id = message.id;
    return in;
}

}  // namespace VeltrixNS::Server
