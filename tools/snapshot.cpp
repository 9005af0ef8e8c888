// SPDX-License-Identifier: LGPL-2.1-or-later
// snapshot DIR: captures what the library reads of this machine into a host
// tree (docs/host-trees.md).
//
// The machine is read through the current host (the live machine, or the
// tree given with --sysroot, which makes a copy of that tree, and never
// reads outside it). Only what the library reads is taken: per block device
// its sysfs attributes and links and those of its SCSI, NVMe and
// device-mapper ancestry, the device-mapper tables, status and open
// counts, the sectors of each disk that hold its partition table, the /dev
// links, the mounts and swap areas, udev's records of the block devices and
// the configuration files (multipath's configuration directories
// included). The answers of the commands the library runs are recorded
// while zodisk asks the library what its commands ask, through a
// recording host, so the table holds exactly the command lines the library
// uses.
//
// DIR is written by ZoHostTreeWriter, one component at a time, never
// following a link: a link the capture copied is never written through, and
// nothing is created outside DIR whatever the machine's links say. A file
// that would have to go through such a link is left out. DIR is whole or
// marked incomplete (a capture interrupted, or one with problems, keeps the
// marker ZoHostTreeWriter writes first), and --sysroot warns of a marked
// one.
#include "ZoForwardingHost.h"
#include "output.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoHostInventory.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoVDDiskDevice.h"

#include "ZoHost.h"
#include "ZoHostTreeWriter.h"
#include "ZoMultipathConfFiles.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

namespace zodisk {

namespace {

// Attributes taken from any sysfs device directory that is captured.
const std::set<std::string> kAttributes = {
    "dev",     "size",    "ro",          "removable", "partition", "start",     "uevent",
    "type",    "vendor",  "model",       "rev",       "inquiry",   "vpd_pg80",  "vpd_pg83",  "wwid",
    "serial",  "state",   "firmware_rev", "nsid",     "cntlid",    "transport", "subsysnqn",
    "node_name", "port_name", "port_id",
    // The fabric: FC host and remote ports, iSCSI sessions and
    // connections, SCSI hosts, NVMe controllers, subsystems and paths.
    "port_state", "speed", "fabric_name", "port_type", "roles", "targetname", "tpgt",
    "initiatorname", "ifacename", "address", "port", "persistent_address", "persistent_port",
    "proc_name", "iopolicy", "ana_state", "ana_grpid"};
// Attributes of a device-mapper device's dm/ directory.
const std::set<std::string> kDmAttributes = {"name", "uuid", "suspended"};

// Where the library looks for the udev tools (it only tests that they
// exist). A capture holds the places that exist on the machine and the
// answer of the settle the library would run there, also when the questions
// asked during the capture did not need one.
const char* const kUdevTools[] = {"/sbin/udevsettle", "/sbin/udevadm", "/usr/sbin/udevadm",
                                  "/bin/udevadm", "/usr/bin/udevadm"};

// Of each disk the partition-table reader needs the first sectors (every
// table starts there), the last ones on a GPT disk (the backup table) and
// the extended boot records of an MBR disk; with the disk's size (its sysfs
// size attribute) they make the image a host tree presents.
const size_t kSector = 512;
const size_t kEdgeBytes = 64 * 1024;
const int kMaxExtendedRecords = 128;

// Records the answer of every command run through it (the first answer of
// each command line).
class RecordingHost final : public ZoForwardingHost {
public:
    using ZoForwardingHost::ZoForwardingHost;

    ZoCommandResult run(const std::string& command) override {
        ZoCommandResult r = ZoForwardingHost::run(command);
        if (m_seen.insert(command).second)
            m_runs.emplace_back(command, r);
        return r;
    }
    const std::vector<std::pair<std::string, ZoCommandResult>>& runs() const { return m_runs; }

    // multipathd's answers, the first of each request that it answered.
    int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) override {
        const int rc = ZoForwardingHost::askMultipathd(request, reply, timeoutMs);
        if (rc == 0 && m_asked.insert(request).second) {
            ZoCommandResult r;
            r.started = true;
            r.exitStatus = 0;
            r.out = *reply;
            m_answers.emplace_back(request, r);
        }
        return rc;
    }
    const std::vector<std::pair<std::string, ZoCommandResult>>& answers() const { return m_answers; }

private:
    std::set<std::string> m_seen, m_asked;
    std::vector<std::pair<std::string, ZoCommandResult>> m_runs, m_answers;
};

// Asks a device what zodisk's commands ask of it.
void askDevice(const SP<ZoDevice>& dev) {
    for (const SP<ZoDevice>& child : dev->getChildren())
        if (child)
            askDevice(child);
    const std::string path = dev->getDevicePath();
    CLuError err;
    if (auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"))) {
        std::list<ZoPartInfo> parts;
        part->getPartitions(parts, &err, false);
        part->getParentDevice(&err);
    }
    ZoDeviceTree::getParentDevice(path.c_str(), &err);
    if (auto* info = static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"))) {
        std::string answer;
        info->GetDeviceWwid(path, answer);
        info->GetArrayInitiatorId(path, answer, false);
    }
}

// Asks the library every question of zodisk's commands and conversions.
void askEverything() {
    for (ZoDevice::TYPE type : {ZoDevice::SCSI_DISK, ZoDevice::MPIO_DISK, ZoDevice::XVD_DISK,
                                ZoDevice::NVME_DISK}) {
        CLuError err;
        for (const SP<ZoDevice>& dev : ZoDeviceTree::getAllDevices(type, &err)) {
            askDevice(dev);
            if (type == ZoDevice::NVME_DISK)
                ZoNVMEDiskDevice::convertNVMEtoAWSVol(dev->getDevicePath(), nullptr);
        }
    }
    ZoVDDiskDevice::convertXVDtoSD("/dev/xvda", nullptr);
    // The host inventory with every fact: what it asks multipathd.
    ZoHostInventory::read();
}

uint32_t le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

bool isExtended(unsigned char type) { return type == 0x05 || type == 0x0f || type == 0x85; }

// True iff the first sector is an MBR whose entries hold the partition of
// type 0xee that guards a GPT disk (its primary header may be damaged).
bool protectiveMbr(const std::string& head) {
    if (head.size() < kSector || head.compare(510, 2, "\x55\xaa") != 0)
        return false;
    for (size_t entry = 446; entry < 510; entry += 16)
        if (static_cast<unsigned char>(head[entry + 4]) == 0xee)
            return true;
    return false;
}

// The pieces of bytes (at their offset) that hold anything but zeros, cut
// at sector boundaries.
std::vector<std::pair<uint64_t, std::string>> nonZeroRuns(uint64_t offset, const std::string& bytes) {
    std::vector<std::pair<uint64_t, std::string>> runs;
    for (size_t at = 0; at < bytes.size(); at += kSector) {
        const std::string sector = bytes.substr(at, kSector);
        if (sector.find_first_not_of('\0') == std::string::npos)
            continue;
        if (!runs.empty() && runs.back().first + runs.back().second.size() == offset + at)
            runs.back().second += sector;
        else
            runs.emplace_back(offset + at, sector);
    }
    return runs;
}

class Capture {
public:
    explicit Capture(ZoHost& host) : m_host(host) {}

    int files = 0, links = 0, commands = 0;
    std::vector<std::string> problems;

    bool open(const std::string& dir) {
        std::string why;
        if (m_out.open(dir, &why))
            return true;
        problems.push_back(why);
        return false;
    }

    // Marks the capture whole, or incomplete with its problems.
    void finish() {
        if (int rc = m_out.finish(problems))
            problems.push_back(std::string("cannot finish the capture: ") + std::strerror(rc));
    }

    void run() {
        // A copy of an incomplete capture is one too.
        struct stat st;
        if (m_host.lstat(ZoRootedHost::incompleteMarkerPath(), &st) == 0)
            problems.push_back("the tree captured is an incomplete capture itself");
        for (const char* f : {"/proc/partitions", "/proc/devices", "/proc/self/mountinfo", "/proc/swaps",
                               "/etc/multipath.conf", "/etc/quorvel/config.ini"})
            copyFile(f);
        configurationDirectories();
        udevRecords();
        eachLink("/sys/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/class/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/dev/block", [this](const std::string& t) { blockDir(t); });
        eachLink("/sys/class/scsi_device", [this](const std::string& t) { classDir(t); });
        eachLink("/sys/class/nvme", [this](const std::string& t) { deviceDir(t, 2); });
        eachLink("/sys/class/nvme-subsystem", [this](const std::string& t) { deviceDir(t, 1); });
        eachLink("/sys/class/fc_transport", [this](const std::string& t) { deviceDir(t, 0); });
        for (const char* cls : {"fc_host", "fc_remote_ports", "iscsi_host", "iscsi_session", "iscsi_connection",
                                "scsi_host", "sas_host", "spi_host"})
            eachLink(std::string("/sys/class/") + cls, [this](const std::string& t) { deviceDir(t, 0); });
        // A subsystem's controllers are links in its directory.
        eachLink("/sys/class/nvme-subsystem", [this](const std::string& t) { eachLink(t, nullptr); });
        std::vector<std::string> disks;
        if (m_host.listDir("/sys/block", &disks) == 0) {
            for (const std::string& d : disks) {
                if (m_host.exists("/sys/block/" + d + "/dm"))
                    mapState("/sys/block/" + d);
                else   // maps have no partition table of their own
                    diskImage("/dev/" + d);
            }
        }
        eachLink("/dev/disk/by-id", nullptr);
        eachLink("/dev/mapper", nullptr);
        captureCommands();
    }

private:
    // Writes a file of the capture; a problem when it cannot be written,
    // except where a link of the capture stands in its way.
    void write(const std::string& path, const std::string& contents) {
        const int rc = m_out.writeFile(path, contents);
        if (rc == 0)
            ++files;
        else if (rc != EEXIST && rc != ELOOP && rc != ENOTDIR)
            problems.push_back("cannot write " + path + ": " + std::strerror(rc));
    }

    // Copies a regular file of the machine; one that cannot be read is
    // skipped.
    void copyFile(const std::string& path, size_t maxBytes = ZoHost::kFileBytes) {
        std::string contents;
        struct stat st;
        if (m_host.lstat(path, &st) == 0 && S_ISREG(st.st_mode) &&
            m_host.readFile(path, &contents, maxBytes) == 0)
            write(path, contents);
    }

    // The files of multipath's configuration directories (conf.d, a
    // config_dir), as regular files.
    void configurationDirectories() {
        std::vector<zo_mpconf::ConfFile> files;
        bool missing = false;
        std::string failed;
        zo_mpconf::readAllConf(&files, &missing, &failed);
        for (const zo_mpconf::ConfFile& f : files)
            if (f.path != zo_mpconf::kMainConf)
                write(f.path, f.text);
    }

    // What udev recorded of each block device (its probe's file system type,
    // label and UUID; its ID_SERIAL).
    void udevRecords() {
        std::vector<std::string> numbers;
        if (m_host.listDir("/sys/dev/block", &numbers) != 0)
            return;
        for (const std::string& n : numbers)
            copyFile("/run/udev/data/b" + n, ZoHost::kAttributeBytes);
    }

    // Recreates the link at path; returns its target as an absolute machine
    // path, or "" when path is no link.
    std::string copyLink(const std::string& path) {
        std::string target;
        if (m_host.readlink(path, &target) != 0 || target.empty())
            return "";
        if (m_linked.insert(path).second) {
            const int rc = m_out.writeLink(path, target);
            if (rc == 0)
                ++links;
            else if (rc != EEXIST && rc != ELOOP && rc != ENOTDIR)
                problems.push_back("cannot link " + path + ": " + std::strerror(rc));
        }
        return ZoHostTreeWriter::linkedPath(path, target);
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

    // True the first time a directory is met: by its identity, so that
    // links that name one directory by ever longer paths end.
    bool firstVisit(const std::string& dir) {
        struct stat st;
        if (m_host.stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        return m_visited.insert({st.st_dev, st.st_ino}).second;
    }

    void attributes(const std::string& dir, const std::set<std::string>& wanted) {
        m_out.mkdirs(dir);
        for (const std::string& a : wanted)
            copyFile(dir + "/" + a, ZoHost::kAttributeBytes);
    }

    // A device directory under /sys/devices and, up to depth further
    // "device" links, the devices it hangs off.
    void deviceDir(const std::string& dir, int depth) {
        if (!firstVisit(dir))
            return;
        attributes(dir, kAttributes);
        copyLink(dir + "/driver");   // the driver bound to it, by name
        std::string parent = copyLink(dir + "/device");
        if (!parent.empty() && depth > 0)
            deviceDir(parent, depth - 1);
        if (isDir(dir + "/scsi_device"))
            eachSubdir(dir + "/scsi_device", [this](const std::string& d) { classDir(d); });
    }

    // A /sys/class/scsi_device entry's directory: its device link and the
    // SCSI device it names (whose block/ directory holds the disk).
    void classDir(const std::string& dir) {
        if (!firstVisit(dir))
            return;
        m_out.mkdirs(dir);
        std::string device = copyLink(dir + "/device");
        if (!device.empty())
            deviceDir(device, 0);
    }

    // A block device directory: attributes, dm/, slaves/, holders/, its
    // partitions and its device ancestry.
    void blockDir(const std::string& dir) {
        if (!firstVisit(dir))
            return;
        attributes(dir, kAttributes);
        if (isDir(dir + "/dm"))
            attributes(dir + "/dm", kDmAttributes);
        for (const char* rel : {"slaves", "holders"}) {
            if (!isDir(dir + "/" + rel))
                continue;   // a tree without them stays so
            m_out.mkdirs(dir + "/" + rel);
            eachLink(dir + "/" + rel, [this](const std::string& t) { blockDir(t); });
        }
        std::string device = copyLink(dir + "/device");
        if (!device.empty())
            deviceDir(device, 2);
        else if (dir.find("/nvme-subsystem/") != std::string::npos)
            attributes(dir.substr(0, dir.rfind('/')), kAttributes);   // a multipath namespace's subsystem
        eachSubdir(dir, [this](const std::string& d) {
            if (m_host.exists(d + "/partition"))
                blockDir(d);
        });
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

    // The table and status of the mapped device whose sysfs directory is
    // dir. A device the host cannot tell about is left out.
    void mapState(const std::string& dir) {
        std::string dev, text;
        unsigned maj = 0, min = 0;
        char extra = 0;
        ZoDmState state;
        if (m_host.readAttr(dir + "/dev", &dev) != 0 ||
            std::sscanf(dev.c_str(), "%u:%u%c", &maj, &min, &extra) != 2 ||
            m_host.deviceMapperState(maj, min, &state) != 0)
            return;
        if (ZoRootedHost::formatDeviceMapperState(state, &text))
            write(ZoRootedHost::deviceMapperStatePath(maj, min), text);
        else
            problems.push_back("cannot record the device-mapper state of " + dir);
    }

    // The sectors of a disk that its partition table is read from: the
    // first ones at the node's path (where a host tree takes a regular file
    // for the disk's first bytes), the others as pieces at their offsets.
    // A disk that cannot be read (no root) has no table in the capture.
    void diskImage(const std::string& node) {
        struct stat st;
        std::string head, tail;
        uint64_t size = 0;
        if (m_host.stat(node, &st) != 0 || !S_ISBLK(st.st_mode) ||
            m_host.readDisk(node, 0, kEdgeBytes, &head, &size) != 0)
            return;
        std::vector<std::pair<uint64_t, std::string>> pieces = nonZeroRuns(0, head);
        const size_t headBytes = pieces.empty() || pieces.front().first != 0 ? 0 : pieces.front().second.size();
        write(node, head.substr(0, headBytes));
        pieces.erase(pieces.begin(), pieces.begin() + (headBytes ? 1 : 0));
        const bool gpt = (head.size() >= 2 * kSector && head.compare(kSector, 8, "EFI PART") == 0) ||
                         protectiveMbr(head);
        if (gpt && size > kEdgeBytes && m_host.readDisk(node, size - kEdgeBytes, kEdgeBytes, &tail, &size) == 0)
            for (auto& run : nonZeroRuns(size - kEdgeBytes, tail))
                pieces.push_back(std::move(run));
        extendedRecords(node, head, &pieces);
        for (const auto& p : pieces)
            if (p.first >= headBytes)
                write(ZoRootedHost::diskPiecePath(major(st.st_rdev), minor(st.st_rdev), p.first), p.second);
    }

    // The chain of extended boot records of an MBR disk: each names its
    // logical partition and the next record.
    void extendedRecords(const std::string& node, const std::string& mbr,
                         std::vector<std::pair<uint64_t, std::string>>* pieces) {
        if (mbr.size() < kSector || mbr.compare(510, 2, "\x55\xaa") != 0)
            return;
        for (int i = 0; i < 4; ++i) {
            const size_t entry = 446 + 16 * static_cast<size_t>(i);
            if (!isExtended(static_cast<unsigned char>(mbr[entry + 4])))
                continue;
            const uint64_t first = le32(mbr, entry + 8);
            uint64_t at = first;
            std::set<uint64_t> seen;
            for (int n = 0; n < kMaxExtendedRecords && at != 0 && seen.insert(at).second; ++n) {
                std::string ebr;
                uint64_t size = 0;
                if (m_host.readDisk(node, at * kSector, kSector, &ebr, &size) != 0 || ebr.size() < kSector ||
                    ebr.compare(510, 2, "\x55\xaa") != 0)
                    break;
                pieces->emplace_back(at * kSector, ebr);
                const size_t link = 446 + 16;
                at = isExtended(static_cast<unsigned char>(ebr[link + 4])) && le32(ebr, link + 8) != 0
                         ? first + le32(ebr, link + 8)
                         : 0;
            }
        }
    }

    void captureCommands() {
        char stamp[64] = "";
        time_t now = m_host.now();
        struct tm tm;
        if (gmtime_r(&now, &tm))
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &tm);
        std::string table = std::string("# Answers captured by zodisk snapshot, ") + stamp + ".\n\n";

        auto recorder = std::make_shared<RecordingHost>(ZoHost::current());
        std::shared_ptr<ZoHost> previous = ZoHost::install(recorder);
        askEverything();
        std::string settle;
        for (const char* tool : kUdevTools) {
            if (m_host.access(tool, F_OK) != 0)
                continue;
            write(tool, "");
            if (settle.empty())
                settle = std::strcmp(tool, "/sbin/udevsettle") == 0 ? "udevsettle" : "udevadm settle";
        }
        if (!settle.empty())
            recorder->run(settle + " --timeout=120");
        ZoHost::install(previous);
        for (const auto& run : recorder->runs()) {
            std::string block;
            if (ZoRootedHost::formatCommandAnswer(run.first, run.second, &block)) {
                table += block;
                ++commands;
            }
        }
        write(ZoRootedHost::commandTablePath(), table);
        std::string answers;
        for (const auto& answer : recorder->answers()) {
            std::string block;
            if (ZoRootedHost::formatCommandAnswer(answer.first, answer.second, &block))
                answers += block;
        }
        if (!answers.empty())
            write(ZoRootedHost::multipathdTablePath(), answers);
    }

    ZoHost& m_host;
    ZoHostTreeWriter m_out;
    std::set<std::pair<dev_t, ino_t>> m_visited;
    std::set<std::string> m_linked;
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
    Capture capture(*host);
    if (capture.open(dir)) {
        capture.run();
        capture.finish();
    }
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
    } else if (capture.problems.empty()) {
        out.text("captured " + std::to_string(capture.files) + " files, " +
                 std::to_string(capture.links) + " links and " +
                 std::to_string(capture.commands) + " command answers into " + dir + "\n");
    }
    return capture.problems.empty() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
