// SPDX-License-Identifier: LGPL-2.1-or-later
// The live host: the real machine at "/", through plain libc, ioctls,
// libblkid, libdevmapper and /bin/sh.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <blkid/blkid.h>
#include <libdevmapper.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

extern char** environ;

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

int listLinksFd(int fd, std::vector<std::pair<std::string, std::string>>* links) {
    std::vector<std::string> names;
    const int rc = readEntries(fd, &names);
    links->clear();
    // A link's target is shorter than PATH_MAX; each is read relative to
    // the directory, its last component not followed.
    char target[PATH_MAX];
    for (size_t i = 0; rc == 0 && i < names.size(); ++i) {
        const ssize_t n = ::readlinkat(fd, names[i].c_str(), target, sizeof target);
        if (n >= 0 && static_cast<size_t>(n) < sizeof target)
            links->emplace_back(names[i], std::string(target, static_cast<size_t>(n)));
    }
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

namespace {

using zohost::fail;
using zohost::sysResult;

// Runs command through /bin/sh -c with stdin from /dev/null, collecting both
// output streams until the child closes them.
ZoCommandResult runShell(const std::string& command) {
    ZoCommandResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The shell starts with default signal handling and nothing blocked,
    // whatever this process did with SIGPIPE or its signal mask.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    int spawnErr = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawnErr != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        errno = spawnErr;
        return result;
    }
    result.started = true;

    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;  // poll ignores negative descriptors
                --open;
            }
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0)
            ::close(p.fd);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.exitStatus = -1;
            return result;
        }
    }
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

// libdevmapper keeps process-wide state (its control descriptor, its log
// function) and is not thread-safe: every use holds this lock. Table and
// status queries take no udev cookie: nothing waits for udev.
std::mutex g_dmMutex;

// libdevmapper's own messages go nowhere: failures reach callers as errno
// values. Installed once, at the first question; a caller that installs its
// own function later gets the messages.
void dmQuiet(int, const char*, int, int, const char*, ...) {}

// One DM_DEVICE_TABLE or DM_DEVICE_STATUS ioctl on the device major:minor;
// with openCount, the device's open count too.
int dmTargets(int task, unsigned major, unsigned minor, std::vector<ZoDmTarget>* out,
              int* openCount = nullptr) {
    struct dm_task* dmt = dm_task_create(task);
    if (!dmt)
        return fail(ENOMEM);
    int rc = 0;
    struct dm_info info;
    // No flush: a status never waits for I/O queued on the device.
    if (!dm_task_set_major(dmt, static_cast<int>(major)) ||
        !dm_task_set_minor(dmt, static_cast<int>(minor)) || (!openCount && !dm_task_no_open_count(dmt)) ||
        (task == DM_DEVICE_STATUS && !dm_task_no_flush(dmt))) {
        rc = ENOMEM;
    } else if (!dm_task_run(dmt)) {
        rc = dm_task_get_errno(dmt) ? dm_task_get_errno(dmt) : EIO;
    } else if (!dm_task_get_info(dmt, &info) || !info.exists) {
        rc = ENXIO;
    } else {
        if (openCount)
            *openCount = info.open_count;
        void* next = nullptr;
        do {
            uint64_t start = 0, length = 0;
            char* type = nullptr;
            char* params = nullptr;
            next = dm_get_next_target(dmt, next, &start, &length, &type, &params);
            if (type) {
                ZoDmTarget t;
                t.start = start;
                t.length = length;
                t.type = type;
                t.params = params ? params : "";
                out->push_back(std::move(t));
            }
        } while (next);
    }
    dm_task_destroy(dmt);
    return fail(rc);
}

class LiveHost final : public ZoHost {
public:
    int stat(const std::string& path, struct stat* st) override {
        return sysResult(::stat(path.c_str(), st));
    }
    int lstat(const std::string& path, struct stat* st) override {
        return sysResult(::lstat(path.c_str(), st));
    }
    int readlink(const std::string& path, std::string* target) override {
        std::string buf(256, '\0');
        for (;;) {
            ssize_t n = ::readlink(path.c_str(), &buf[0], buf.size());
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
    int access(const std::string& path, int mode) override {
        return sysResult(::access(path.c_str(), mode));
    }
    int listDir(const std::string& path, std::vector<std::string>* names) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return fd < 0 ? errno : zohost::listDirFd(fd, names);
    }
    int listLinks(const std::string& dir,
                  std::vector<std::pair<std::string, std::string>>* links) override {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return fd < 0 ? errno : zohost::listLinksFd(fd, links);
    }
    using ZoHost::readFile;
    int readFile(const std::string& path, std::string* contents, size_t maxBytes) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        int rc = zohost::readRegularFd(fd, maxBytes, contents);
        zohost::closeQuietly(fd);
        return rc;
    }
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (fd < 0)
            return errno;
        *file = zohost::writableFile(fd);
        return 0;
    }
    int probeOpen(const std::string& path, int flags) override {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    }
    int rename(const std::string& from, const std::string& to) override {
        return sysResult(::rename(from.c_str(), to.c_str()));
    }
    int chmod(const std::string& path, mode_t mode) override {
        return sysResult(::chmod(path.c_str(), mode));
    }
    int chown(const std::string& path, uid_t uid, gid_t gid) override {
        return sysResult(::chown(path.c_str(), uid, gid));
    }
    int listXattrs(const std::string& path,
                   std::vector<std::pair<std::string, std::string>>* attrs) override {
        return zohost::listXattrsAt(path, attrs);
    }
    int setXattr(const std::string& path, const std::string& name, const std::string& value) override {
        return zohost::setXattrAt(path, name, value);
    }
    int unlink(const std::string& path) override { return sysResult(::unlink(path.c_str())); }
    int mkdir(const std::string& path, mode_t mode) override {
        return sysResult(::mkdir(path.c_str(), mode));
    }
    int symlink(const std::string& target, const std::string& linkPath) override {
        return sysResult(::symlink(target.c_str(), linkPath.c_str()));
    }
    int syncDir(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        int rc = sysResult(::fsync(fd));
        zohost::closeQuietly(fd);
        return rc;
    }

    int rereadPartitions(const std::string& node) override {
        int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return -1;
        int rc = ::ioctl(fd, BLKRRPART, 0);
        int err = errno;
        ::close(fd);
        if (rc != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }

    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override {
        int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            st->message = "cannot open " + node + ": " + std::strerror(err);
            return fail(err);
        }
        sg_io_hdr_t hdr;
        std::memset(&hdr, 0, sizeof hdr);
        hdr.interface_id = 'S';
        hdr.cmd_len = static_cast<unsigned char>(cmd.cdbLength);
        hdr.cmdp = const_cast<unsigned char*>(cmd.cdb);
        hdr.dxferp = cmd.data;
        hdr.dxfer_len = cmd.dataLength > 0 ? static_cast<unsigned>(cmd.dataLength) : 0;
        switch (cmd.direction) {
        case ZoScsiCommand::TO_DEVICE: hdr.dxfer_direction = SG_DXFER_TO_DEV; break;
        case ZoScsiCommand::FROM_DEVICE: hdr.dxfer_direction = SG_DXFER_FROM_DEV; break;
        default: hdr.dxfer_direction = SG_DXFER_NONE; hdr.dxfer_len = 0; break;
        }
        hdr.sbp = cmd.sense;
        hdr.mx_sb_len = cmd.sense && cmd.senseLength > 0
                            ? static_cast<unsigned char>(cmd.senseLength > 255 ? 255 : cmd.senseLength)
                            : 0;
        hdr.timeout = cmd.timeoutMs;
        int rc = ::ioctl(fd, SG_IO, &hdr);
        int err = errno;
        ::close(fd);
        if (rc < 0) {
            st->message = "SG_IO on " + node + ": " + std::strerror(err);
            return fail(err);
        }
        st->status = hdr.status;
        st->hostStatus = hdr.host_status;
        const int kHostTimedOut = 0x03;  // the transport's DID_TIME_OUT
        if (hdr.host_status == kHostTimedOut) return fail(ETIMEDOUT);
        st->driverStatus = hdr.driver_status;
        st->senseWritten = hdr.sb_len_wr;
        st->residual = hdr.resid;
        st->message.clear();
        return 0;
    }

    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override {
        int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return -1;
        int rc = zohost::readPartitionTableFd(fd, parts);
        zohost::closeQuietly(fd);
        return rc;
    }

    int readDisk(const std::string& node, uint64_t offset, size_t length, std::string* data,
                 uint64_t* diskBytes) override {
        int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        int rc = zohost::diskBytesFd(fd, diskBytes);
        if (rc == 0)
            rc = zohost::preadFd(fd, offset, length, data);
        zohost::closeQuietly(fd);
        return rc;
    }

    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        // Only a device sysfs shows as mapped is asked about: a machine
        // without device-mapper is not made to load it or create its
        // control node.
        const std::string dm = "/sys/dev/block/" + std::to_string(major) + ":" +
                               std::to_string(minor) + "/dm";
        struct stat st;
        if (::stat(dm.c_str(), &st) != 0 || major > INT32_MAX || minor > INT32_MAX)
            return fail(ENXIO);
        static std::once_flag quiet;
        std::call_once(quiet, [] { dm_log_with_errno_init(dmQuiet); });
        ZoDmState found;
        std::lock_guard<std::mutex> guard(g_dmMutex);
        int rc = dmTargets(DM_DEVICE_TABLE, major, minor, &found.table);
        if (rc == 0)
            rc = dmTargets(DM_DEVICE_STATUS, major, minor, &found.status, &found.openCount);
        // Closes the control descriptor, which would otherwise stay open
        // and be inherited by every command the process runs.
        dm_lib_release();
        if (rc == 0)
            *state = std::move(found);
        return fail(rc);
    }

    int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) override {
        return zohost::askMultipathdSocket(request, reply, timeoutMs);
    }

    ZoCommandResult run(const std::string& command) override { return runShell(command); }
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        return fd < 0 ? errno : zohost::lockFd(fd, lock);
    }
    void sleepMs(unsigned long ms) override { zohost::sleepRealMs(ms); }
    time_t now() override { return ::time(nullptr); }
};

}  // namespace

std::shared_ptr<ZoHost> ZoHost::makeLive() { return std::make_shared<LiveHost>(); }
