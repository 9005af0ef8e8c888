// SPDX-License-Identifier: LGPL-2.1-or-later
// The descriptor layer both hosts share: the errno mapper and the
// operations on open descriptors (reading, listing, writing, locking, disk
// sizes and partition tables). Each host opens paths its own way and hands
// the descriptors here.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace zohost {

int sysResult(int rc) { return rc == -1 ? errno : 0; }

int fail(int err) {
    errno = err;
    return err;
}

void closeQuietly(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

namespace {

// Calls io again as long as a signal interrupts it; returns its result.
template <class F>
ssize_t noEintr(F io) {
    ssize_t n;
    do
        n = io();
    while (n < 0 && errno == EINTR);
    return n;
}

class PosixWritableFile final : public ZoWritableFile {
public:
    explicit PosixWritableFile(int fd) : m_fd(fd) {}
    ~PosixWritableFile() override {
        if (m_fd >= 0)
            closeQuietly(m_fd);
    }
    PosixWritableFile(const PosixWritableFile&) = delete;
    PosixWritableFile& operator=(const PosixWritableFile&) = delete;

    int append(const char* data, size_t len) override {
        if (m_fd < 0)
            return fail(EBADF);
        while (len > 0) {
            ssize_t n = noEintr([&] { return ::write(m_fd, data, len); });
            if (n < 0)
                return errno;
            if (n == 0)
                return fail(ENOSPC);
            data += n;
            len -= static_cast<size_t>(n);
        }
        return 0;
    }
    int sync() override {
        if (m_fd < 0)
            return fail(EBADF);
        return sysResult(::fsync(m_fd));
    }
    int close() override {
        if (m_fd < 0)
            return fail(EBADF);
        int fd = m_fd;
        m_fd = -1;
        return sysResult(::close(fd));
    }

private:
    int m_fd;
};

class PosixLock final : public ZoHostLock {
public:
    explicit PosixLock(int fd) : m_fd(fd) {}
    ~PosixLock() override { release(); }
    PosixLock(const PosixLock&) = delete;
    PosixLock& operator=(const PosixLock&) = delete;
    void release() override {
        if (m_fd >= 0)
            closeQuietly(m_fd);  // closing the description drops the flock
        m_fd = -1;
    }

private:
    int m_fd;
};

}  // namespace

namespace {

// Returns 0 when the file open on fd is a regular file, otherwise EISDIR
// for a directory and EINVAL for anything else (errno set).
int regularFd(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return 0;
}

// The system's page size: the most a sysfs attribute gives in one read.
size_t pageBytes() {
    static const size_t bytes = [] {
        long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : size_t{4096};
    }();
    return bytes;
}

}  // namespace

int readRegularFd(int fd, size_t maxBytes, std::string* contents) {
    // The type of the file is only asked for when a read leaves it open: a
    // directory fails the read with EISDIR; a FIFO or a device opened
    // without waiting gives nothing, an error or a full buffer, and only a
    // regular file gives fewer bytes than asked for and then ends.
    // An attribute (sysfs, proc) is made whole by the kernel at the first
    // read and handed out at most a page per read: a shorter read ends it.
    // Longer files are read until the end.
    const bool attribute = maxBytes <= ZoHost::kAttributeBytes;
    bool checked = false;
    auto check = [&] {
        checked = true;
        return regularFd(fd);
    };
    std::string data;
    char buf[16384];
    for (;;) {
        // One byte past the bound tells a file that is too long.
        const size_t want = std::min(sizeof buf, maxBytes + 1 - data.size());
        ssize_t n = noEintr([&] { return ::read(fd, buf, want); });
        if (n > 0)
            data.append(buf, static_cast<size_t>(n));
        if (n < 0) {
            const int err = errno;
            if (err != EISDIR && !checked)
                if (int rc = check())
                    return rc;
            return fail(err);
        }
        if (n == 0 || static_cast<size_t>(n) == want) {
            if (!checked)
                if (int rc = check())
                    return rc;
            if (n == 0)
                break;
        } else if (attribute && static_cast<size_t>(n) < pageBytes()) {
            break;
        }
        if (data.size() > maxBytes)
            return fail(EFBIG);
    }
    contents->swap(data);
    return 0;
}

namespace {

// The entries of the directory open on fd (not "." and ..").
int readEntries(int fd, std::vector<std::string>* names) {
    // getdents64 straight into a buffer: no stream, no flags to adjust.
    std::vector<std::string> found;
    alignas(8) char buf[32768];
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        for (long at = 0; at < n;) {
            const auto* ent = reinterpret_cast<const struct dirent64*>(buf + at);
            if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0)
                found.emplace_back(ent->d_name);
            at += ent->d_reclen;
        }
    }
    names->swap(found);
    return 0;
}

}  // namespace

int listDirFd(int fd, std::vector<std::string>* names) {
    const int rc = readEntries(fd, names);
    closeQuietly(fd);
    return fail(rc);
}

int readLinkAt(int dirFd, const char* path, std::string* target) {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dirFd, path, &buf[0], buf.size());
        if (n < 0)
            return errno;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            target->swap(buf);
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

int listLinksFd(int fd, std::vector<std::pair<std::string, std::string>>* links) {
    std::vector<std::string> names;
    const int rc = readEntries(fd, &names);
    links->clear();
    // Each is read relative to the directory, its last component not
    // followed; a name that is no link is left out.
    std::string target;
    for (size_t i = 0; rc == 0 && i < names.size(); ++i)
        if (readLinkAt(fd, names[i].c_str(), &target) == 0)
            links->emplace_back(names[i], target);
    closeQuietly(fd);
    return fail(rc);
}

std::unique_ptr<ZoWritableFile> writableFile(int fd) {
    return std::unique_ptr<ZoWritableFile>(new PosixWritableFile(fd));
}

int lockFd(int fd, std::unique_ptr<ZoHostLock>* lock) {
    // flock locks belong to the open file description, so two descriptions
    // in one process exclude each other as two processes do.
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            closeQuietly(fd);
            return errno;
        }
    }
    lock->reset(new PosixLock(fd));
    return 0;
}

int diskBytesFd(int fd, uint64_t* bytes) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errno;
    if (S_ISREG(st.st_mode)) {
        *bytes = static_cast<uint64_t>(st.st_size);
        return 0;
    }
    if (!S_ISBLK(st.st_mode))
        return fail(EINVAL);
    return sysResult(::ioctl(fd, BLKGETSIZE64, bytes));
}

int preadFd(int fd, uint64_t offset, size_t length, std::string* data) {
    std::string buf(length, '\0');
    size_t done = 0;
    while (done < length) {
        ssize_t n = noEintr(
            [&] { return ::pread(fd, &buf[done], length - done, static_cast<off_t>(offset + done)); });
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    buf.resize(done);
    data->swap(buf);
    return 0;
}

int readPartitionTableFd(int fd, std::vector<ZoHostPartition>* parts) {
    blkid_probe pr = blkid_new_probe();
    if (!pr || blkid_probe_set_device(pr, fd, 0, 0) != 0) {
        blkid_free_probe(pr);
        errno = ENOMEM;
        return -1;
    }
    int rc = -1;
    blkid_probe_enable_superblocks(pr, 0);
    blkid_probe_enable_partitions(pr, 1);
    blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(pr);
    if (list && blkid_partlist_get_table(list)) {
        std::vector<ZoHostPartition> found;
        int n = blkid_partlist_numof_partitions(list);
        for (int i = 0; i < n; ++i) {
            blkid_partition par = blkid_partlist_get_partition(list, i);
            if (!par)
                continue;
            ZoHostPartition p;
            // libblkid reports start and size in 512-byte sectors whatever
            // the device's logical sector size.
            p.startSector = static_cast<uint64_t>(blkid_partition_get_start(par));
            p.sectorCount = static_cast<uint64_t>(blkid_partition_get_size(par));
            p.number = blkid_partition_get_partno(par);
            found.push_back(p);
        }
        parts->swap(found);
        rc = 0;
    } else if (blkid_do_safeprobe(pr) == 1) {
        // The disk was read and holds no partition table: it has no
        // partitions. Only a disk that cannot be read fails.
        parts->clear();
        rc = 0;
    } else {
        errno = ENXIO;
    }
    blkid_free_probe(pr);
    return rc;
}

void sleepRealMs(unsigned long ms) {
    struct timespec req;
    req.tv_sec = static_cast<time_t>(ms / 1000);
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    struct timespec rem;
    while (::nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

}  // namespace zohost
