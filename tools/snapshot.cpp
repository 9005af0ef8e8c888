// snapshot DIR: captures what the library reads of this machine into a host
// tree (docs/host-trees.md).
//
// The machine is read through the current host (the live machine, or the
// tree given with --sysroot, which makes a copy of that tree); DIR is written
// with plain file operations and nothing outside it is touched. Only what the
// library reads is taken: per block device its sysfs attributes and links and
// those of its SCSI, NVMe and device-mapper ancestry, the /dev links and the
// configuration files. The answers of the commands the library runs are
// recorded while zodisk asks the library, through a recording host, every
// question list, show and tree ask (and the name conversions), so the table
// holds exactly the command lines the library uses.
#include "forwarding_host.h"
#include "output.h"
#include "report.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoVDDiskDevice.h"

#include "ZoHost.h"
#include "ZoHostInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

namespace zodisk {

namespace {

// Attributes taken from any sysfs device directory that is captured.
const std::set<std::string> kAttributes = {
    "dev",     "size",    "ro",          "removable", "partition", "start",     "uevent",
    "type",    "vendor",  "model",       "rev",       "vpd_pg80",  "vpd_pg83",  "wwid",
    "serial",  "state",   "firmware_rev", "nsid",     "cntlid",    "transport", "subsysnqn",
    "node_name", "port_name", "port_id"};
// Attributes of a device-mapper device's dm/ directory.
const std::set<std::string> kDmAttributes = {"name", "uuid", "suspended"};

// Where the library looks for the udev tools (it only tests that they
// exist). A capture holds the places that exist on the machine and the
// answer of the settle the library would run there, also when the questions
// asked during the capture did not need one.
const char* const kUdevTools[] = {"/sbin/udevsettle", "/sbin/udevadm", "/usr/sbin/udevadm",
                                  "/bin/udevadm", "/usr/bin/udevadm"};
// Bytes of a disk kept for its partition table.
const ssize_t kImageBytes = 64 * 1024;

// Records the answer of every command run through it (the first answer of
// each command line).
class RecordingHost final : public ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;

    ZoCommandResult run(const std::string& command) override {
        ZoCommandResult r = ForwardingHost::run(command);
        if (m_seen.insert(command).second)
            m_runs.emplace_back(command, r);
        return r;
    }
    const std::vector<std::pair<std::string, ZoCommandResult>>& runs() const { return m_runs; }

private:
    std::set<std::string> m_seen;
    std::vector<std::pair<std::string, ZoCommandResult>> m_runs;
};

// Asks the library what list, show and tree ask, and the conversions.
void askEverything() {
    for (ZoDevice::TYPE type : {ZoDevice::SCSI_DISK, ZoDevice::MPIO_DISK, ZoDevice::XVD_DISK,
                                ZoDevice::NVME_DISK}) {
        CLuError err;
        for (const SP<ZoDevice>& dev : ZoDeviceTree::getAllDevices(type, &err)) {
            describe(dev);
            if (type == ZoDevice::NVME_DISK)
                ZoNVMEDiskDevice::convertNVMEtoAWSVol(dev->getDevicePath(), nullptr);
        }
    }
    ZoVDDiskDevice::convertXVDtoSD("/dev/xvda", nullptr);
}

std::string dirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// "/a/b/../c" -> "/a/c".
std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

class Capture {
public:
    Capture(ZoHost& host, const std::string& dir) : m_host(host), m_dir(dir) {}

    int files = 0, links = 0, commands = 0;
    std::vector<std::string> problems;

    // The directory must be new or empty.
    bool prepare() {
        struct stat st;
        if (::stat(m_dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return fail(m_dir + " is not a directory");
            std::vector<std::string> names;
            if (zohost::listDirAt(m_dir, &names) != 0 || !names.empty())
                return fail(m_dir + " is not empty");
            return true;
        }
        return makeDirs(m_dir);
    }

    void run() {
        for (const char* f : {"/proc/partitions", "/proc/devices", "/etc/multipath.conf",
                               "/etc/quorvel/config.ini"})
            copyFile(f, false);
        eachLink("/sys/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/class/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/dev/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/class/scsi_device", [this](const std::string& t) { classDir(t); });
        eachLink("/sys/class/nvme", [this](const std::string& t) { deviceDir(t, 2); });
        eachLink("/sys/class/nvme-subsystem", [this](const std::string& t) { deviceDir(t, 1); });
        eachLink("/sys/class/fc_transport", [this](const std::string& t) { deviceDir(t, 0); });
        std::vector<std::string> disks;
        if (m_host.listDir("/sys/block", &disks) == 0)
            for (const std::string& d : disks)
                if (!m_host.exists("/sys/block/" + d + "/dm"))   // maps have no table of their own
                    diskHead("/dev/" + d);
        eachLink("/dev/disk/by-id", nullptr);
        eachLink("/dev/mapper", nullptr);
        captureCommands();
    }

private:
    bool fail(const std::string& why) {
        problems.push_back(why);
        return false;
    }

    std::string real(const std::string& path) const { return m_dir + path; }

    bool makeDirs(const std::string& realPath) {
        if (realPath.empty() || ::mkdir(realPath.c_str(), 0755) == 0 || errno == EEXIST)
            return true;
        if (errno != ENOENT)
            return fail("cannot create " + realPath + ": " + std::strerror(errno));
        return makeDirs(dirName(realPath)) &&
               (::mkdir(realPath.c_str(), 0755) == 0 || errno == EEXIST ||
                fail("cannot create " + realPath + ": " + std::strerror(errno)));
    }

    bool writeReal(const std::string& path, const std::string& contents) {
        if (!makeDirs(dirName(real(path))))
            return false;
        std::unique_ptr<ZoWritableFile> file;
        if (zohost::openForWriteAt(real(path), 0644, &file) != 0 || file->append(contents) != 0 ||
            file->close() != 0)
            return fail("cannot write " + real(path) + ": " + std::strerror(errno));
        ++files;
        return true;
    }

    // Copies a file of the machine; a missing one is skipped (and reported
    // when required).
    void copyFile(const std::string& path, bool required) {
        std::string contents;
        if (m_host.readFile(path, &contents) != 0) {
            if (required)
                fail("cannot read " + path + ": " + std::strerror(errno));
            return;
        }
        writeReal(path, contents);
    }

    // Recreates the link at path; returns its target as an absolute machine
    // path, or "" when path is no link.
    std::string copyLink(const std::string& path) {
        std::string target;
        if (m_host.readlink(path, &target) != 0 || target.empty())
            return "";
        if (m_made.insert(path).second && makeDirs(dirName(real(path)))) {
            if (::symlink(target.c_str(), real(path).c_str()) == 0)
                ++links;
            else if (errno != EEXIST)
                fail("cannot link " + real(path) + ": " + std::strerror(errno));
        }
        return target[0] == '/' ? normalize(target) : normalize(dirName(path) + "/" + target);
    }

    template <class F>
    void eachLink(const std::string& dir, F then) {
        std::vector<std::string> names;
        if (m_host.listDir(dir, &names) != 0)
            return;
        for (const std::string& n : names) {
            std::string target = copyLink(dir + "/" + n);
            if (target.empty() && isDir(dir + "/" + n))
                target = dir + "/" + n;   // a plain directory where links are usual
            if (!target.empty())
                call(then, target);
        }
    }
    template <class F>
    void call(F& f, const std::string& t) { f(t); }
    void call(std::nullptr_t, const std::string&) {}

    bool isDir(const std::string& path) {
        struct stat st;
        return m_host.lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
    }

    void attributes(const std::string& dir, const std::set<std::string>& wanted) {
        makeDirs(real(dir));
        for (const std::string& a : wanted) {
            std::string contents;
            struct stat st;
            if (m_host.lstat(dir + "/" + a, &st) == 0 && S_ISREG(st.st_mode) &&
                m_host.readFile(dir + "/" + a, &contents) == 0)
                writeReal(dir + "/" + a, contents);
        }
    }

    // A device directory under /sys/devices and, up to depth further
    // "device" links, the devices it hangs off.
    void deviceDir(const std::string& dir, int depth) {
        if (!m_visited.insert(dir).second)
            return;
        attributes(dir, kAttributes);
        std::string parent = copyLink(dir + "/device");
        if (!parent.empty() && depth > 0)
            deviceDir(parent, depth - 1);
        if (isDir(dir + "/scsi_device"))
            eachSubdir(dir + "/scsi_device", [this](const std::string& d) { classDir(d); });
    }

    // A /sys/class/scsi_device entry's directory: its device link and the
    // SCSI device it names (whose block/ directory holds the disk).
    void classDir(const std::string& dir) {
        if (!m_visited.insert(dir).second)
            return;
        makeDirs(real(dir));
        std::string device = copyLink(dir + "/device");
        if (!device.empty())
            deviceDir(device, 0);
    }

    // A block device directory: attributes, dm/, slaves/, holders/, its
    // partitions and its device ancestry.
    void blockDir(const std::string& dir) {
        if (!m_visited.insert(dir).second)
            return;
        attributes(dir, kAttributes);
        if (isDir(dir + "/dm"))
            attributes(dir + "/dm", kDmAttributes);
        for (const char* rel : {"slaves", "holders"}) {
            makeDirs(real(dir + "/" + rel));
            eachLink(dir + "/" + rel, [this](const std::string& t) { blockDir(t); });
        }
        std::string device = copyLink(dir + "/device");
        if (!device.empty())
            deviceDir(device, 2);
        else if (dir.find("/nvme-subsystem/") != std::string::npos)
            attributes(dirName(dir), kAttributes);   // a multipath namespace's subsystem
        eachSubdir(dir, [this](const std::string& d) {
            if (m_host.exists(d + "/partition"))
                blockDir(d);
        });
    }

    // The partition table of a disk: its first bytes (and for a GPT disk its
    // last bytes too, in a sparse file of the disk's size) at its node path,
    // where a host tree takes a regular file for the disk's contents.
    void diskHead(const std::string& node) {
        std::string source = node;
        if (auto rooted = std::dynamic_pointer_cast<ZoRootedHost>(ZoHost::current()))
            source = rooted->hostPath(node);
        int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;   // not readable (no root): the tree has no table for it
        std::string head(kImageBytes, '\0'), tail;
        ssize_t n = ::pread(fd, &head[0], head.size(), 0);
        off_t size = ::lseek(fd, 0, SEEK_END);
        bool gpt = n > 520 && head.compare(512, 8, "EFI PART") == 0;
        if (gpt && size > static_cast<off_t>(2 * kImageBytes)) {
            tail.assign(kImageBytes, '\0');
            if (::pread(fd, &tail[0], tail.size(), size - kImageBytes) != kImageBytes)
                tail.clear();
        }
        ::close(fd);
        if (n <= 0)
            return;
        head.resize(n);
        if (!writeReal(node, head) || tail.empty())
            return;
        int out = ::open(real(node).c_str(), O_WRONLY | O_CLOEXEC);
        if (out < 0 || ::pwrite(out, tail.data(), tail.size(), size - kImageBytes) !=
                           static_cast<ssize_t>(tail.size()))
            fail("cannot write the end of " + real(node) + ": " + std::strerror(errno));
        if (out >= 0)
            ::close(out);
    }

    template <class F>
    void eachSubdir(const std::string& dir, F then) {
        std::vector<std::string> names;
        if (m_host.listDir(dir, &names) != 0)
            return;
        for (const std::string& n : names)
            if (isDir(dir + "/" + n))
                then(dir + "/" + n);
    }

    void answer(const std::string& command, const ZoCommandResult& r) {
        zohost::CommandAnswer a;
        a.exitStatus = r.started ? r.exitStatus : 127;
        a.out = r.out;
        a.err = r.err;
        std::string block;
        if (zohost::formatCommandAnswer(command, a, &block)) {
            m_commands += block;
            ++commands;
        }
    }

    void captureCommands() {
        char stamp[64] = "";
        time_t now = m_host.now();
        struct tm tm;
        if (gmtime_r(&now, &tm))
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &tm);
        m_commands = std::string("# Answers captured by zodisk snapshot, ") + stamp + ".\n\n";

        auto recorder = std::make_shared<RecordingHost>(ZoHost::current());
        std::shared_ptr<ZoHost> previous = ZoHost::install(recorder);
        askEverything();
        std::string settle;
        for (const char* tool : kUdevTools)
            if (m_host.access(tool, F_OK) == 0 && writeReal(tool, "") && settle.empty())
                settle = std::strcmp(tool, "/sbin/udevsettle") == 0 ? "udevsettle" : "udevadm settle";
        if (!settle.empty())
            recorder->run(settle + " --timeout=120");
        ZoHost::install(previous);
        for (const auto& run : recorder->runs())
            answer(run.first, run.second);
        writeReal("/.zohost/commands", m_commands);
    }

    ZoHost& m_host;
    std::string m_dir;
    std::string m_commands;
    std::set<std::string> m_visited;
    std::set<std::string> m_made;
};

}  // namespace

int runSnapshot(const Options& opts, Output& out) {
    std::string dir = opts.dir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (!dir.empty() && dir[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd)) {
            Output::error("snapshot: cannot tell the current directory");
            return EXIT_FAILED;
        }
        dir = std::string(cwd) + "/" + dir;
    }
    std::shared_ptr<ZoHost> host = ZoHost::current();
    Capture capture(*host, dir);
    if (capture.prepare())
        capture.run();
    for (const std::string& p : capture.problems)
        Output::error("snapshot: " + p);
    if (opts.json) {
        Json doc;
        doc["snapshot"] = dir;
        doc["files"] = capture.files;
        doc["links"] = capture.links;
        doc["commands"] = capture.commands;
        doc["errors"] = capture.problems;
        out.json(doc);
    } else {
        out.text("captured " + std::to_string(capture.files) + " files, " +
                 std::to_string(capture.links) + " links and " +
                 std::to_string(capture.commands) + " command answers into " + dir + "\n");
    }
    return capture.problems.empty() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
