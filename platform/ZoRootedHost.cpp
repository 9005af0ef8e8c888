// The rooted host: a directory tree standing in for "/" (a captured or
// synthetic machine).
//
// Rules of a host tree (docs/host-trees.md has the long form):
//   - Every machine path is resolved component by component inside the root.
//     Symbolic links are followed: an absolute target starts again at the
//     root, a relative one from the link's directory; ".." never climbs above
//     the root; more than 40 links give ELOOP. Nothing outside the root is
//     ever touched. Link targets are stored and reported as written.
//   - /dev: a real block or character node in the tree is what it is.
//     Otherwise /dev/.../N is a block device when /sys/class/block/N/dev
//     holds "MAJ:MIN" (a regular file at that path is the disk's contents),
//     else a character device when some /sys/class/<class>/N/dev exists.
//   - SCSI INQUIRY is answered from the device's sysfs attributes
//     (device/vpd_pgXX, device/{type,vendor,model,rev}); anything else ends
//     in CHECK CONDITION, ILLEGAL REQUEST.
//   - Commands are answered from the table /.zohost/commands. Blocks are
//     separated by blank lines or started by a "$ " line:
//         $ cat /proc/devices | grep 'xvd' | awk '{print $1}'
//         > 202
//         ? 0
//     "$ CMD"   the exact command line
//     "> TEXT"  a line of standard output (TEXT and a newline)
//     ">- TEXT" standard output TEXT without a newline (only as the last one)
//     "! TEXT"  a line of standard error; "!- TEXT" without a newline
//     "? N"     the exit status (0 when absent)
//     "# ..."   a comment
//     A later block for the same command replaces an earlier one. A command
//     without an answer exits 127 with "no answer in host tree for: CMD" on
//     standard error.
//   - Sleeps are recorded, not slept, and move the clock on. The clock is
//     setClock()'s value, else the epoch seconds in /.zohost/clock, else the
//     real time; recorded sleeps are added to it.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>


namespace {

using zohost::fail;
using zohost::sysResult;

const char kCommandTable[] = "/.zohost/commands";
const char kClockFile[] = "/.zohost/clock";
const int kMaxLinks = 40;

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        pos = slash + 1;
    }
    return parts;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool parseDevNumber(const std::string& text, dev_t* dev) {
    unsigned maj = 0, min = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &extra) < 2)
        return false;
    if (extra != 0 && extra != '\n')
        return false;
    *dev = makedev(maj, min);
    return true;
}

// SCSI sense, fixed format, ILLEGAL REQUEST with the given additional sense
// code.
const int kSenseLength = 18;
void illegalRequest(unsigned char asc, unsigned char sense[kSenseLength]) {
    std::memset(sense, 0, kSenseLength);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[7] = kSenseLength - 8;
    sense[12] = asc;
}

class RootedHost final : public ZoRootedHost {
public:
    explicit RootedHost(const std::string& dir) {
        char buf[PATH_MAX];
        m_root = ::realpath(dir.c_str(), buf) ? std::string(buf) : dir;
        while (m_root.size() > 1 && m_root.back() == '/')
            m_root.pop_back();
        if (m_root == "/")
            m_root.clear();  // a tree at "/" is the machine itself
    }

    const std::string& root() const override { return m_root; }

    std::string hostPath(const std::string& path) override {
        Resolved r;
        if (resolve(path, true, &r) == 0)
            return r.real;
        return m_root + (path.empty() || path[0] != '/' ? "/" : "") + path;
    }

    std::vector<std::string> commandsRun() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_commands;
    }
    std::vector<unsigned long> sleepsMs() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sleeps;
    }
    std::vector<std::string> rereads() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_rereads;
    }
    void setClock(time_t t) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_clockSet = true;
        m_clock = t;
        m_sleptMs = 0;
    }

    // --- Files and directories ------------------------------------------
    int stat(const std::string& path, struct stat* st) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        if (isUnderDev(r.machine))
            return deviceStat(r, st);
        return sysResult(::lstat(r.real.c_str(), st));
    }
    int lstat(const std::string& path, struct stat* st) override {
        Resolved r;
        if (int rc = resolve(path, false, &r))
            return rc;
        if (isUnderDev(r.machine))
            return deviceStat(r, st);
        return sysResult(::lstat(r.real.c_str(), st));
    }
    int readlink(const std::string& path, std::string* target) override {
        Resolved r;
        if (int rc = resolve(path, false, &r))
            return rc;
        return readLinkReal(r.real, target);
    }
    int access(const std::string& path, int mode) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        int rc = sysResult(::access(r.real.c_str(), mode));
        struct stat st;
        if (rc == ENOENT && isUnderDev(r.machine) && deviceStat(r, &st) == 0)
            return 0;
        return rc;
    }
    int listDir(const std::string& path, std::vector<std::string>* names) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        // A tree keeps no order of its own (a capture cannot keep sysfs's, and
        // the file system holding the tree has another): names come sorted, so
        // a tree answers the same on every machine.
        const int rc = zohost::listDirAt(r.real, names);
        if (rc == 0)
            std::sort(names->begin(), names->end());
        return rc;
    }
    int readFile(const std::string& path, std::string* contents) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return zohost::readWholeFile(r.real, contents);
    }
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return zohost::openForWriteAt(r.real, mode, file);
    }
    int probeOpen(const std::string& path, int flags) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        int rc = zohost::probeOpenAt(r.real, flags);
        struct stat st;
        if (rc == ENOENT && !(flags & O_CREAT) && isUnderDev(r.machine) && deviceStat(r, &st) == 0)
            return (flags & O_ACCMODE) == O_RDONLY ? 0 : fail(EROFS);
        return rc;
    }
    int rename(const std::string& from, const std::string& to) override {
        Resolved a, b;
        if (int rc = resolve(from, false, &a))
            return rc;
        if (int rc = resolve(to, false, &b))
            return rc;
        return sysResult(::rename(a.real.c_str(), b.real.c_str()));
    }
    int chmod(const std::string& path, mode_t mode) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return sysResult(::chmod(r.real.c_str(), mode));
    }
    int chown(const std::string& path, uid_t uid, gid_t gid) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return sysResult(::lchown(r.real.c_str(), uid, gid));
    }
    int unlink(const std::string& path) override {
        Resolved r;
        if (int rc = resolve(path, false, &r))
            return rc;
        return sysResult(::unlink(r.real.c_str()));
    }
    int mkdir(const std::string& path, mode_t mode) override {
        Resolved r;
        if (int rc = resolve(path, false, &r))
            return rc;
        return sysResult(::mkdir(r.real.c_str(), mode));
    }
    int symlink(const std::string& target, const std::string& linkPath) override {
        Resolved r;
        if (int rc = resolve(linkPath, false, &r))
            return rc;
        return sysResult(::symlink(target.c_str(), r.real.c_str()));
    }
    int syncDir(const std::string& path) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return zohost::syncDirAt(r.real);
    }

    // --- Devices -----------------------------------------------------------
    int rereadPartitions(const std::string& node) override {
        struct stat st;
        if (int rc = stat(node, &st)) {
            errno = rc;
            return -1;
        }
        if (!S_ISBLK(st.st_mode)) {
            errno = ENOTTY;  // what BLKRRPART says of anything but a disk
            return -1;
        }
        if (heldByAnother(st.st_rdev)) {
            errno = EBUSY;  // the kernel keeps the table of a disk in use
            return -1;
        }
        std::lock_guard<std::mutex> g(m_mutex);
        m_rereads.push_back(node);
        return 0;
    }

    // Returns true iff sysfs shows the disk with number dev, or one of its
    // partitions, held by another device (a device-mapper map over it):
    // the kernel then refuses to re-read the disk's table.
    bool heldByAnother(dev_t dev) {
        const std::string sys = "/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                                std::to_string(minor(dev));
        std::vector<std::string> names;
        if (listDir(sys + "/holders", &names) == 0 && !names.empty())
            return true;
        std::vector<std::string> entries;
        if (listDir(sys, &entries) != 0)
            return false;
        for (const std::string& e : entries) {
            names.clear();
            if (access(sys + "/" + e + "/partition", F_OK) == 0 &&
                listDir(sys + "/" + e + "/holders", &names) == 0 && !names.empty())
                return true;
        }
        return false;
    }

    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override {
        Resolved r;
        if (int rc = resolve(node, true, &r)) {
            errno = rc;
            return -1;
        }
        struct stat st;
        if (::lstat(r.real.c_str(), &st) != 0)
            return -1;  // a synthesized node has no contents to read
        return zohost::readPartitionTableAt(r.real, parts);
    }

    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override;

    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        std::string text;
        int rc = readFile(deviceMapperStatePath(major, minor), &text);
        if (rc == ENOENT) {
            // No state captured: say whether the tree shows such a device.
            const std::string dm = "/sys/dev/block/" + std::to_string(major) + ":" +
                                   std::to_string(minor) + "/dm";
            return fail(exists(dm) ? ENOENT : ENXIO);
        }
        return rc != 0 ? rc : zohost::parseDmState(text, state);
    }

    // --- Processes, locks, time ------------------------------------------
    ZoCommandResult run(const std::string& command) override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_commands.push_back(command);
        }
        ZoCommandResult result;
        result.started = true;
        std::string text;
        if (readFile(kCommandTable, &text) == 0) {
            auto table = zohost::parseCommandTable(text);
            auto it = table.find(command);
            if (it != table.end()) {
                result.exitStatus = it->second.exitStatus;
                result.out = it->second.out;
                result.err = it->second.err;
                return result;
            }
        }
        result.exitStatus = 127;
        result.err = "no answer in host tree for: " + command;
        return result;
    }
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override {
        Resolved r;
        if (int rc = resolve(path, true, &r))
            return rc;
        return zohost::lockFileAt(r.real, lock);
    }
    void sleepMs(unsigned long ms) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_sleeps.push_back(ms);
        m_sleptMs += ms;
    }
    time_t now() override {
        time_t base = 0;
        bool fixed = false;
        unsigned long long slept = 0;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            fixed = m_clockSet;
            base = m_clock;
            slept = m_sleptMs;
        }
        if (!fixed) {
            std::string text;
            char* end = nullptr;
            if (readAttr(kClockFile, &text) == 0) {
                long long v = std::strtoll(text.c_str(), &end, 10);
                if (end != text.c_str()) {
                    fixed = true;
                    base = static_cast<time_t>(v);
                }
            }
        }
        if (!fixed)
            base = ::time(nullptr);
        return base + static_cast<time_t>(slept / 1000);
    }

private:
    struct Resolved {
        std::string real;     // where the path lives in this machine's file system
        std::string machine;  // the path as the machine would show it, links resolved
    };

    std::string realOf(const std::vector<std::string>& parts) const {
        std::string real = m_root;
        for (const auto& p : parts)
            real += "/" + p;
        return real.empty() ? "/" : real;
    }

    static int readLinkReal(const std::string& real, std::string* target) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink(real.c_str(), buf, sizeof buf);
        if (n < 0)
            return errno;
        target->assign(buf, static_cast<size_t>(n));
        return 0;
    }

    // Resolves path inside the root. followLast: a link in the last place
    // is followed too. The last component need not exist.
    int resolve(const std::string& path, bool followLast, Resolved* out) const {
        if (!path.empty() && path.back() == '/')
            followLast = true;  // "link/" names the directory the link points at
        std::vector<std::string> done;
        std::deque<std::string> todo;
        for (auto& p : splitPath(path))
            todo.push_back(p);
        int links = 0;
        while (!todo.empty()) {
            std::string part = std::move(todo.front());
            todo.pop_front();
            if (part == "..") {
                if (!done.empty())
                    done.pop_back();
                continue;
            }
            done.push_back(part);
            const bool last = todo.empty();
            if (last && !followLast)
                break;
            const std::string real = realOf(done);
            struct stat st;
            if (::lstat(real.c_str(), &st) != 0) {
                if (errno != ENOENT)
                    return errno;
                // Nothing below a missing directory exists: the rest is
                // taken as written, so that the caller's own operation
                // reports ENOENT, and /dev/N is made up even in a tree
                // without a /dev directory.
                for (auto& rest : todo) {
                    if (rest == "..")
                        return fail(ENOENT);  // climbing out of a missing directory
                    done.push_back(rest);
                }
                break;
            }
            if (S_ISLNK(st.st_mode)) {
                if (++links > kMaxLinks)
                    return fail(ELOOP);
                std::string target;
                if (int rc = readLinkReal(real, &target))
                    return rc;
                done.pop_back();
                if (!target.empty() && target[0] == '/')
                    done.clear();
                auto parts = splitPath(target);
                todo.insert(todo.begin(), parts.begin(), parts.end());
            } else if (!last && !S_ISDIR(st.st_mode)) {
                return fail(ENOTDIR);
            }
        }
        out->real = realOf(done);
        out->machine.clear();
        for (const auto& p : done)
            out->machine += "/" + p;
        if (out->machine.empty())
            out->machine = "/";
        return 0;
    }

    static bool isUnderDev(const std::string& machine) { return machine.compare(0, 5, "/dev/") == 0; }

    // stat of a resolved path under /dev by the tree's node rules.
    int deviceStat(const Resolved& r, struct stat* st) {
        struct stat real;
        const bool present = ::lstat(r.real.c_str(), &real) == 0;
        if (present && (S_ISBLK(real.st_mode) || S_ISCHR(real.st_mode) || S_ISLNK(real.st_mode) ||
                        S_ISDIR(real.st_mode))) {
            *st = real;
            return 0;
        }
        const std::string name = baseName(r.machine);
        std::string text;
        dev_t dev = 0;
        mode_t type = 0;
        if (readAttr("/sys/class/block/" + name + "/dev", &text) == 0 && parseDevNumber(text, &dev)) {
            type = S_IFBLK;
        } else {
            std::vector<std::string> classes;
            if (listDir("/sys/class", &classes) == 0) {
                std::sort(classes.begin(), classes.end());
                for (const auto& c : classes) {
                    if (c != "block" && readAttr("/sys/class/" + c + "/" + name + "/dev", &text) == 0 &&
                        parseDevNumber(text, &dev)) {
                        type = S_IFCHR;
                        break;
                    }
                }
            }
        }
        if (type == 0) {
            if (!present)
                return fail(ENOENT);
            *st = real;
            return 0;
        }
        if (!present) {
            std::memset(&real, 0, sizeof real);
            real.st_nlink = 1;
            real.st_blksize = 4096;
        }
        real.st_mode = type | 0660;
        real.st_rdev = dev;
        *st = real;
        return 0;
    }

    std::string m_root;
    std::mutex m_mutex;  // guards the records and the clock below
    std::vector<std::string> m_commands;
    std::vector<unsigned long> m_sleeps;
    std::vector<std::string> m_rereads;
    bool m_clockSet = false;
    time_t m_clock = 0;
    unsigned long long m_sleptMs = 0;
};

int RootedHost::scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) {
    *st = ZoScsiStatus();
    struct stat sb;
    if (int rc = stat(node, &sb)) {
        st->message = "host tree cannot open " + node + ": " + std::strerror(rc);
        return fail(rc);
    }
    if (!S_ISBLK(sb.st_mode) && !S_ISCHR(sb.st_mode)) {
        st->message = "host tree cannot send a SCSI command to " + node + ": not a device node";
        return fail(ENOTTY);
    }

    auto checkCondition = [&](unsigned char asc, const std::string& why) {
        unsigned char sense[kSenseLength];
        illegalRequest(asc, sense);
        int n = cmd.sense && cmd.senseLength > 0 ? std::min(cmd.senseLength, kSenseLength) : 0;
        if (n > 0)
            std::memcpy(cmd.sense, sense, static_cast<size_t>(n));
        st->status = 2;
        st->driverStatus = 0x08;  // sense data present, as the kernel reports it
        st->senseWritten = n;
        st->residual = cmd.dataLength;
        st->message = "host tree cannot answer " + why + " for " + node;
        return 0;
    };

    if (!cmd.cdb || cmd.cdbLength < 6)
        return checkCondition(0x20, "a command block shorter than 6 bytes");
    const unsigned char* cdb = cmd.cdb;
    char what[64];
    if (cdb[0] != 0x12) {
        std::snprintf(what, sizeof what, "SCSI command 0x%02x", cdb[0]);
        return checkCondition(0x20, what);
    }
    const bool evpd = cdb[1] & 1;
    const unsigned page = cdb[2];
    if (evpd)
        std::snprintf(what, sizeof what, "INQUIRY page 0x%02x", page);
    else
        std::snprintf(what, sizeof what, "INQUIRY");

    // The node's SCSI device: /sys/dev/{block,char}/MAJ:MIN/device, or the
    // parent disk's device for a partition.
    const std::string sysDev = std::string("/sys/dev/") + (S_ISBLK(sb.st_mode) ? "block/" : "char/") +
                               std::to_string(major(sb.st_rdev)) + ":" +
                               std::to_string(minor(sb.st_rdev));
    std::string device;
    if (exists(sysDev + "/device"))
        device = sysDev + "/device";
    else if (exists(sysDev + "/partition") && exists(sysDev + "/../device"))
        device = sysDev + "/../device";
    if (device.empty())
        return checkCondition(0x20, std::string(what) + " (no SCSI device)");
    // The kernel does not open a disk whose SCSI device is offline.
    std::string state;
    if (readAttr(device + "/state", &state) == 0 && state == "offline") {
        st->message = "cannot open " + node + ": " + std::strerror(ENXIO);
        return fail(ENXIO);
    }

    std::string response;
    if (evpd && page == 0x00) {
        std::vector<std::string> names;
        listDir(device, &names);
        std::vector<unsigned> pages{0x00};
        for (const auto& n : names) {
            unsigned p = 0;
            char extra = 0;
            if (n.size() == 8 && std::sscanf(n.c_str(), "vpd_pg%2x%c", &p, &extra) == 1 && p != 0)
                pages.push_back(p);
        }
        std::sort(pages.begin(), pages.end());
        std::string type;
        readAttr(device + "/type", &type);
        response.push_back(static_cast<char>(std::atoi(type.c_str()) & 0x1f));
        response.push_back(0);
        response.push_back(static_cast<char>((pages.size() >> 8) & 0xff));
        response.push_back(static_cast<char>(pages.size() & 0xff));
        for (unsigned p : pages)
            response.push_back(static_cast<char>(p));
    } else if (evpd) {
        char file[32];
        std::snprintf(file, sizeof file, "/vpd_pg%02x", page);
        if (readFile(device + file, &response) != 0)
            return checkCondition(0x24, std::string(what) + " (no device" + file + ")");
    } else {
        if (page != 0)
            return checkCondition(0x24, "INQUIRY with a page code but no EVPD");
        std::string type, vendor, model, rev;
        const char* missing = nullptr;
        if (readAttr(device + "/type", &type) != 0)
            missing = "type";
        else if (readAttr(device + "/vendor", &vendor) != 0)
            missing = "vendor";
        else if (readAttr(device + "/model", &model) != 0)
            missing = "model";
        else if (readAttr(device + "/rev", &rev) != 0)
            missing = "rev";
        if (missing)
            return checkCondition(0x24, std::string(what) + " (no device/" + missing + ")");
        auto field = [](std::string s, size_t width) {
            s.resize(width, ' ');
            return s;
        };
        response.assign(8, '\0');
        response[0] = static_cast<char>(std::atoi(type.c_str()) & 0x1f);
        response[2] = 0x06;  // version: SPC-4
        response[3] = 0x02;  // response data format
        response[4] = 36 - 5;  // additional length
        response += field(vendor, 8) + field(model, 16) + field(rev, 4);
    }

    const size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    size_t n = std::min(response.size(), allocation);
    n = std::min(n, static_cast<size_t>(cmd.dataLength > 0 ? cmd.dataLength : 0));
    if (!cmd.data)
        n = 0;
    if (n > 0)
        std::memcpy(cmd.data, response.data(), n);
    st->status = 0;
    st->residual = (cmd.dataLength > 0 ? cmd.dataLength : 0) - static_cast<int>(n);
    return 0;
}

}  // namespace

std::shared_ptr<ZoHost> ZoHost::makeRooted(const std::string& dir) {
    return std::make_shared<RootedHost>(dir);
}
