// SPDX-License-Identifier: LGPL-2.1-or-later
// The live host: the real machine at "/", through plain libc, ioctls,
// libblkid, libdevmapper and /bin/sh.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <libdevmapper.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

extern char** environ;

namespace {

using zohost::fail;
using zohost::sysResult;

// Starts command through /bin/sh -c with standard input from /dev/null and
// standard output and error on outFd and errFd. Returns the child's pid, or
// -1 with errno set when the shell could not be started.
pid_t spawnShell(const std::string& command, int outFd, int errFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
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
    const int err = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return pid;
}

// Reads both pipes until the writers close them (or reading fails), then
// closes them.
void collectOutput(int outFd, int errFd, std::string* out, std::string* err) {
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
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
}

// Waits for the child; its exit status, 128+N when signal N killed it, -1
// when it cannot be waited for.
int waitExitStatus(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Runs command through /bin/sh -c with stdin from /dev/null, collecting both
// output streams until the child closes them.
ZoCommandResult runShell(const std::string& command) {
    ZoCommandResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        zohost::closeQuietly(outPipe[0]);
        zohost::closeQuietly(outPipe[1]);
        return result;
    }
    const pid_t pid = spawnShell(command, outPipe[1], errPipe[1]);
    zohost::closeQuietly(outPipe[1]);
    zohost::closeQuietly(errPipe[1]);
    if (pid < 0) {
        zohost::closeQuietly(outPipe[0]);
        zohost::closeQuietly(errPipe[0]);
        return result;
    }
    result.started = true;
    collectOutput(outPipe[0], errPipe[0], &result.out, &result.err);
    result.exitStatus = waitExitStatus(pid);
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
        return zohost::readLinkAt(AT_FDCWD, path.c_str(), target);
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
