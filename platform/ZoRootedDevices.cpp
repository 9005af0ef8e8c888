// SPDX-License-Identifier: LGPL-2.1-or-later
// The devices of a host tree: /dev nodes made up from sysfs, the kernel's
// answer to a re-read of a held disk, and SCSI INQUIRY answered from the
// device's sysfs attributes.
#include "ZoRootedHostInternal.h"

#include "ZoHostInternal.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zohost {

int treeNodeStat(ZoHost& tree, const std::string& name, const struct stat* present, struct stat* st) {
    if (present && (S_ISBLK(present->st_mode) || S_ISCHR(present->st_mode) ||
                    S_ISLNK(present->st_mode) || S_ISDIR(present->st_mode))) {
        *st = *present;
        return 0;
    }
    std::string text;
    dev_t dev = 0;
    mode_t type = 0;
    if (tree.readAttr("/sys/class/block/" + name + "/dev", &text) == 0 && parseDevNumber(text, &dev)) {
        type = S_IFBLK;
    } else {
        std::vector<std::string> classes;
        if (tree.listDir("/sys/class", &classes) == 0) {
            for (const auto& c : classes) {
                if (c != "block" && tree.readAttr("/sys/class/" + c + "/" + name + "/dev", &text) == 0 &&
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
        *st = *present;
        return 0;
    }
    struct stat made;
    if (present) {
        made = *present;
    } else {
        std::memset(&made, 0, sizeof made);
        made.st_nlink = 1;
        made.st_blksize = 4096;
    }
    made.st_mode = type | 0660;
    made.st_rdev = dev;
    *st = made;
    return 0;
}

bool heldByAnother(ZoHost& tree, dev_t dev) {
    const std::string sys = "/sys/dev/block/" + devText(major(dev), minor(dev));
    std::vector<std::string> names;
    if (tree.listDir(sys + "/holders", &names) == 0 && !names.empty())
        return true;
    std::vector<std::string> entries;
    if (tree.listDir(sys, &entries) != 0)
        return false;
    for (const std::string& e : entries) {
        names.clear();
        if (tree.access(sys + "/" + e + "/partition", F_OK) == 0 &&
            tree.listDir(sys + "/" + e + "/holders", &names) == 0 && !names.empty())
            return true;
    }
    return false;
}

namespace {

// One SCSI command sent to a node of the tree and the status it ends with.
class Exchange {
public:
    Exchange(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st)
        : m_node(node), m_cmd(cmd), m_st(st) {}

    // Ends the command with CHECK CONDITION: fixed-format sense, ILLEGAL
    // REQUEST with the additional sense code asc, as much of it as the
    // sense buffer takes.
    int checkCondition(unsigned char asc, const std::string& why) {
        const int kSenseLength = 18;
        unsigned char sense[kSenseLength] = {};
        sense[0] = 0x70;
        sense[2] = 0x05;
        sense[7] = kSenseLength - 8;
        sense[12] = asc;
        const int n = m_cmd.sense && m_cmd.senseLength > 0 ? std::min(m_cmd.senseLength, kSenseLength) : 0;
        if (n > 0)
            std::memcpy(m_cmd.sense, sense, static_cast<size_t>(n));
        m_st->status = 2;
        m_st->driverStatus = 0x08;  // sense data present, as the kernel reports it
        m_st->senseWritten = n;
        m_st->residual = m_cmd.dataLength;
        m_st->message = "host tree cannot answer " + why + " for " + m_node;
        return 0;
    }

    // Ends the command with GOOD status and the response, cut to the
    // allocation length and the buffer.
    int deliver(const std::string& response, size_t allocation) {
        const size_t buffer = static_cast<size_t>(m_cmd.dataLength > 0 ? m_cmd.dataLength : 0);
        size_t n = std::min(std::min(response.size(), allocation), buffer);
        if (!m_cmd.data)
            n = 0;
        if (n > 0)
            std::memcpy(m_cmd.data, response.data(), n);
        m_st->status = 0;
        m_st->residual = static_cast<int>(buffer - n);
        return 0;
    }

private:
    const std::string& m_node;
    const ZoScsiCommand& m_cmd;
    ZoScsiStatus* m_st;
};

// The node's SCSI device directory: /sys/dev/{block,char}/MAJ:MIN/device,
// or the parent disk's device for a partition; "" when there is none.
std::string scsiDeviceDir(ZoHost& tree, const struct stat& sb) {
    const std::string sysDev = std::string("/sys/dev/") + (S_ISBLK(sb.st_mode) ? "block/" : "char/") +
                               devText(major(sb.st_rdev), minor(sb.st_rdev));
    if (tree.exists(sysDev + "/device"))
        return sysDev + "/device";
    if (tree.exists(sysDev + "/partition") && tree.exists(sysDev + "/../device"))
        return sysDev + "/../device";
    return "";
}

// The peripheral device type byte of the device.
char deviceType(ZoHost& tree, const std::string& device) {
    std::string type;
    tree.readAttr(device + "/type", &type);
    return static_cast<char>(std::atoi(type.c_str()) & 0x1f);
}

// VPD page 0x00: the pages the device's vpd_pgPP attributes hold, and 0x00.
std::string supportedPages(ZoHost& tree, const std::string& device) {
    std::vector<std::string> names;
    tree.listDir(device, &names);
    std::vector<unsigned> pages{0x00};
    for (const auto& n : names) {
        unsigned p = 0;
        char extra = 0;
        if (n.size() == 8 && std::sscanf(n.c_str(), "vpd_pg%2x%c", &p, &extra) == 1 && p != 0)
            pages.push_back(p);
    }
    std::sort(pages.begin(), pages.end());
    std::string response{deviceType(tree, device), 0, static_cast<char>((pages.size() >> 8) & 0xff),
                         static_cast<char>(pages.size() & 0xff)};
    for (unsigned p : pages)
        response.push_back(static_cast<char>(p));
    return response;
}

// The standard INQUIRY data; "" and the attribute that is missing when
// one is.
std::string standardInquiry(ZoHost& tree, const std::string& device, std::string* missing) {
    std::string value[4];
    const char* names[4] = {"type", "vendor", "model", "rev"};
    for (int i = 0; i < 4; ++i) {
        if (tree.readAttr(device + "/" + names[i], &value[i]) != 0) {
            *missing = names[i];
            return "";
        }
    }
    auto field = [](std::string s, size_t width) {
        s.resize(width, ' ');
        return s;
    };
    std::string response(8, '\0');
    response[0] = static_cast<char>(std::atoi(value[0].c_str()) & 0x1f);
    response[2] = 0x06;  // version: SPC-4
    response[3] = 0x02;  // response data format
    response[4] = 36 - 5;  // additional length
    return response + field(value[1], 8) + field(value[2], 16) + field(value[3], 4);
}

// An INQUIRY (cdb[0] 0x12) of the device whose directory is device.
int inquiry(ZoHost& tree, const std::string& device, const unsigned char* cdb, const char* what,
            Exchange* x) {
    const bool evpd = cdb[1] & 1;
    const unsigned page = cdb[2];
    const size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    if (evpd && page == 0x00)
        return x->deliver(supportedPages(tree, device), allocation);
    std::string response;
    if (evpd) {
        char file[32];
        std::snprintf(file, sizeof file, "/vpd_pg%02x", page);
        if (tree.readFile(device + file, &response, ZoHost::kAttributeBytes) != 0)
            return x->checkCondition(0x24, std::string(what) + " (no device" + file + ")");
        return x->deliver(response, allocation);
    }
    if (page != 0)
        return x->checkCondition(0x24, "INQUIRY with a page code but no EVPD");
    std::string missing;
    response = standardInquiry(tree, device, &missing);
    if (response.empty())
        return x->checkCondition(0x24, std::string(what) + " (no device/" + missing + ")");
    return x->deliver(response, allocation);
}

}  // namespace

int answerScsiCommand(ZoHost& tree, const std::string& node, const struct stat& sb,
                      const ZoScsiCommand& cmd, ZoScsiStatus* st) {
    Exchange x(node, cmd, st);
    if (!cmd.cdb || cmd.cdbLength < 6)
        return x.checkCondition(0x20, "a command block shorter than 6 bytes");
    const unsigned char* cdb = cmd.cdb;
    char what[64];
    if (cdb[0] != 0x12) {
        std::snprintf(what, sizeof what, "SCSI command 0x%02x", cdb[0]);
        return x.checkCondition(0x20, what);
    }
    if (cdb[1] & 1)
        std::snprintf(what, sizeof what, "INQUIRY page 0x%02x", cdb[2]);
    else
        std::snprintf(what, sizeof what, "INQUIRY");
    const std::string device = scsiDeviceDir(tree, sb);
    if (device.empty())
        return x.checkCondition(0x20, std::string(what) + " (no SCSI device)");
    // The kernel does not open a disk whose SCSI device is offline.
    std::string state;
    if (tree.readAttr(device + "/state", &state) == 0 && state == "offline") {
        st->message = "cannot open " + node + ": " + std::strerror(ENXIO);
        return fail(ENXIO);
    }
    return inquiry(tree, device, cdb, what, &x);
}

}  // namespace zohost
