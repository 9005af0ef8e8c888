// SPDX-License-Identifier: LGPL-2.1-or-later
// multipathd's control socket, as its own client speaks it: a request is
// the length of the command (a size_t in the machine's byte order, the
// terminating NUL counted) followed by the command; the reply is the same
// shape. The daemon listens on an abstract unix socket; newer ones also on a
// socket file.
#include "ZoHostInternal.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zohost {

namespace {

const char kAbstractName[] = "/org/kernel/linux/storage/multipathd";
const char kSocketFile[] = "/run/multipathd.socket";
// A reply longer than this is no reply of the daemon's.
const size_t kMaxReply = 32u << 20;

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A connected socket to the daemon, or -1 with errno set (ECONNREFUSED or
// ENOENT: no daemon listens).
int connectDaemon() {
    for (bool abstract : {true, false}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        struct sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        const char* name = abstract ? kAbstractName : kSocketFile;
        std::memcpy(addr.sun_path + (abstract ? 1 : 0), name, std::strlen(name));
        const socklen_t len =
            static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + (abstract ? 1 : 0) + std::strlen(name) +
                                   (abstract ? 0 : 1));
        if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0)
            return fd;
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return -1;
}

int sendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EPIPE;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Reads exactly len bytes before the deadline (ms on the monotonic clock).
int receiveAll(int fd, void* data, size_t len, long long deadline) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        const long long left = deadline - nowMs();
        if (left <= 0)
            return ETIMEDOUT;
        struct pollfd pfd = {fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        const ssize_t n = ::recv(fd, p, len, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return n < 0 ? errno : EPROTO;   // the daemon hung up mid-reply
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int exchange(int fd, const std::string& request, std::string* reply, unsigned timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    const size_t len = request.size() + 1;
    if (int rc = sendAll(fd, &len, sizeof len))
        return rc;
    if (int rc = sendAll(fd, request.c_str(), len))
        return rc;
    size_t replyLen = 0;
    if (int rc = receiveAll(fd, &replyLen, sizeof replyLen, deadline))
        return rc;
    if (replyLen == 0 || replyLen > kMaxReply)
        return EPROTO;
    std::string text(replyLen, '\0');
    if (int rc = receiveAll(fd, &text[0], replyLen, deadline))
        return rc;
    const size_t nul = text.find('\0');
    text.resize(nul == std::string::npos ? text.size() : nul);
    *reply = std::move(text);
    return 0;
}

}  // namespace

int askMultipathdSocket(const std::string& request, std::string* reply, unsigned timeoutMs) {
    if (request.find('\0') != std::string::npos)
        return fail(EINVAL);
    const int fd = connectDaemon();
    if (fd < 0)
        return fail(errno);
    const int rc = exchange(fd, request, reply, timeoutMs);
    ::close(fd);
    return rc == 0 ? 0 : fail(rc);
}

}  // namespace zohost
