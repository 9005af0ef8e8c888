// Disk identity: the WWID from INQUIRY page 0x83, the Fibre Channel node
// name, the array-identity functions and disk letter names.
#include "UXScsi.h"
#include "ZOSO.h"
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoScsiDiskDevice.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace {

using zotest::ScsiDiskSpec;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// A designation descriptor: code set, association, designator type, designator.
std::string descriptor(int codeSet, int association, int type, const std::string& designator) {
    return bytes({codeSet, (association << 4) | type, 0, static_cast<int>(designator.size())}) +
           designator;
}

// A page 0x83 around the descriptors; length overrides the length field.
std::string page83(const std::string& body, int length = -1) {
    if (length < 0) length = static_cast<int>(body.size());
    return bytes({0, 0x83, length >> 8, length & 0xff}) + body;
}

using zotest::hexBytes;

class IdentityTest : public ::testing::Test {
protected:
    void SetUp() override { zo_internal::resetProcessState(); }
    void TearDown() override { zo_internal::resetProcessState(); }

    // Disks sdb, sdc, ... answering the given pages.
    std::vector<std::string> addDisks(const std::vector<std::string>& pages) {
        std::vector<std::string> nodes;
        for (size_t i = 0; i < pages.size(); ++i) {
            ScsiDiskSpec spec;
            spec.name = "sd" + std::string(1, static_cast<char>('b' + i));
            spec.target = static_cast<int>(i);
            spec.minor = 16 * static_cast<int>(i + 1);
            spec.vpdPg83 = pages[i];
            nodes.push_back(zotest::addScsiDisk(tree, spec).node);
        }
        return nodes;
    }
    void install() {
        installed.reset(new zotest::HostTree::Installed(tree.install()));
        UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::HostTree::Installed> installed;
};

const std::string kNaa16 = bytes({0x60, 0x01, 0x40, 0x5a, 0x3c, 0x2b, 0x1e, 0x0f, 0x00, 0xd1, 0xc2,
                                  0xb3, 0xa4, 0x95, 0x86, 0x77});
const std::string kNaa8 = bytes({0x50, 0x00, 0xc5, 0x00, 0x15, 0xea, 0x71, 0xac});
const std::string kT10 = descriptor(2, 0, 1, "ZOTEST  VDISK   0001");

TEST_F(IdentityTest, SerialIsTheFirstLogicalUnitNaaDesignator) {
    struct Case {
        const char* what;
        std::string page;
        std::string want;
    } cases[] = {
        {"T10 then 16-byte binary NAA", page83(kT10 + descriptor(1, 0, 3, kNaa16)), "3" + hexBytes(kNaa16)},
        {"8-byte NAA", page83(descriptor(1, 0, 3, kNaa8)), "3" + hexBytes(kNaa8)},
        {"NAA of the target port only", page83(descriptor(1, 1, 3, kNaa8)), ""},
        {"NAA of the target device only", page83(kT10 + descriptor(1, 2, 3, kNaa16)), ""},
        {"port NAA before the logical unit's",
         page83(descriptor(1, 1, 3, kNaa8) + descriptor(1, 0, 3, kNaa16)), "3" + hexBytes(kNaa16)},
        {"designator of length 0", page83(descriptor(1, 0, 3, "")), "3"},
        {"ASCII code set", page83(descriptor(2, 0, 3, "60014055ABC")), "360014055ABC"},
        {"other code set is hexadecimal", page83(descriptor(3, 0, 3, "ab")), "36162"},
        {"EUI-64 is not NAA", page83(descriptor(1, 0, 2, kNaa8)), ""},
        {"page length 256 (low byte 0)", page83(kT10 + descriptor(1, 0, 3, kNaa16) + std::string(212, 0)),
         "3" + hexBytes(kNaa16)},
        {"descriptor past the 255 bytes asked for",
         page83(descriptor(2, 0, 1, std::string(242, 'v')) + descriptor(1, 0, 3, kNaa16)), ""},
        {"NAA beyond the page length", page83(kT10 + descriptor(1, 0, 3, kNaa16), static_cast<int>(kT10.size())),
         ""},
        {"descriptor running past the page", page83(kT10 + descriptor(1, 0, 3, kNaa16), static_cast<int>(kT10.size()) + 10),
         ""},
        {"header running past the page", page83(kT10 + bytes({1, 3}), static_cast<int>(kT10.size()) + 2), ""},
        {"empty page", page83(""), ""},
    };
    std::vector<std::string> pages;
    for (const Case& c : cases) pages.push_back(c.page);
    std::vector<std::string> nodes = addDisks(pages);
    install();

    for (size_t i = 0; i < nodes.size(); ++i) {
        std::string serial = "prefix:";
        EXPECT_TRUE(ZOSO::DetermineDeviceSerial(0, nodes[i], serial)) << cases[i].what;
        EXPECT_EQ("prefix:" + cases[i].want, serial) << cases[i].what;
    }
}

TEST_F(IdentityTest, SerialIsEchoedToStandardOutput) {
    std::vector<std::string> nodes = addDisks({page83(descriptor(1, 0, 3, kNaa8))});
    install();
    std::string serial;
    testing::internal::CaptureStdout();
    bool ok = ZOSO::DetermineDeviceSerial(7, nodes[0], serial);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    EXPECT_NE(std::string::npos, out.find("3" + hexBytes(kNaa8) + "\n")) << out;
}

TEST_F(IdentityTest, SerialFailuresAreLoggedAndFalse) {
    std::vector<std::string> nodes = addDisks({page83(descriptor(1, 0, 3, kNaa8))});
    install();
    zotest::LogCapture log;
    std::string serial;
    EXPECT_FALSE(ZOSO::DetermineDeviceSerial(0, "/dev/sdz", serial));
    EXPECT_EQ(1u, log.count("ZoDeviceTree::getDevice exception caught :"
                            "Failed to get a ZoDevice Instance for /dev/sdz"))
        << log.dump();

    auto fault = std::make_shared<zotest::FaultHost>(installed->shared());
    std::shared_ptr<ZoHost> previous = ZoHost::install(fault);
    fault->failAll("scsiCommand", EIO);
    EXPECT_FALSE(ZOSO::DetermineDeviceSerial(0, nodes[0], serial));
    EXPECT_EQ(1u, log.countContaining("Fail to send scsi inquiry cdb, caught exception: "
                                      "SCSI command 0x12 to /dev/sdb failed: Input/output error"))
        << log.dump();
    EXPECT_EQ("", serial);

    ZoScsiDiskDevice* disk = nullptr;
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(nodes[0].c_str(), &err);
    ASSERT_TRUE(dev) << err.AsString();
    disk = static_cast<ZoScsiDiskDevice*>(dev.get());
    std::string wwid = "kept";
    CLuError result = disk->GetDeviceWwid(nodes[0], wwid);
    EXPECT_EQ(774, result.GetCode());
    EXPECT_EQ("Unable to get scsi id", result.AsString());
    EXPECT_EQ("kept", wwid);

    fault->clearFailures();
    result = disk->GetDeviceWwid(nodes[0], wwid);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ("kept3" + hexBytes(kNaa8), wwid);
    ZoHost::install(previous);
}

// Reads a sample page: hexadecimal bytes separated by white space, with
// '#' comment lines (the form sg_vpd --inhex reads).
std::string readHexSample(const std::string& path) {
    std::ifstream in(path);
    std::string line, out;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') continue;
        std::istringstream words(line);
        std::string word;
        while (words >> word) out.push_back(static_cast<char>(std::stoi(word, nullptr, 16)));
    }
    return out;
}

// What sg_vpd reports as the first NAA designator of the addressed logical
// unit, as "3" + hexadecimal; "" when it reports none.
std::string sgVpdWwid(const std::string& file) {
    std::string command = "sg_vpd --inhex=" + file + " -p di 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return "popen failed";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    ::pclose(p);
    std::istringstream lines(text);
    std::string line;
    bool inLogicalUnit = false, inNaa = false;
    while (std::getline(lines, line)) {
        if (line.size() > 2 && line[0] == ' ' && line[1] == ' ' && line[2] != ' ') {
            inLogicalUnit = line.find("Addressed logical unit") != std::string::npos;
            inNaa = false;
            continue;
        }
        if (!inLogicalUnit) continue;
        if (line.find("designator type:") != std::string::npos) {
            inNaa = line.find("designator type: NAA") != std::string::npos;
            continue;
        }
        std::string::size_type hex = line.find("0x");
        if (inNaa && hex != std::string::npos) return "3" + line.substr(hex + 2);
    }
    return "";
}

TEST_F(IdentityTest, WwidsOfSamplePagesAgreeWithSgVpd) {
    if (std::system("command -v sg_vpd >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "sg_vpd (sg3-utils) is not installed";
    const std::string dir = std::string(ZODEVICE_SOURCE_DIR) + "/tests/data/vpd";
    std::vector<std::string> files;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hex") == 0)
                files.push_back(dir + "/" + name);
        }
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 5u) << dir;

    std::vector<std::string> pages;
    for (const std::string& f : files) pages.push_back(readHexSample(f));
    std::vector<std::string> nodes = addDisks(pages);
    install();
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string want = sgVpdWwid(files[i]);
        ASSERT_FALSE(want.empty()) << files[i] << ": sg_vpd reports no logical-unit NAA";
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(nodes[i].c_str(), &err);
        ASSERT_TRUE(dev) << files[i] << ": " << err.AsString();
        auto* info = static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"));
        ASSERT_NE(nullptr, info);
        std::string wwid;
        CLuError result = info->GetDeviceWwid(nodes[i], wwid);
        EXPECT_FALSE(result.IsError()) << files[i] << ": " << result.AsString();
        EXPECT_EQ(want, wwid) << files[i];
    }
}

TEST_F(IdentityTest, NodeNameOfTheFibreChannelTarget) {
    ScsiDiskSpec fc;
    fc.name = "sdb";
    fc.host = 12;
    fc.target = 3;
    fc.fcNodeName = "0x50060e8007c3f200";
    zotest::addScsiDisk(tree, fc);
    ScsiDiskSpec local;
    local.name = "sdc";
    local.host = 1;
    local.minor = 32;
    zotest::addScsiDisk(tree, local);
    ScsiDiskSpec empty;
    empty.name = "sdd";
    empty.host = 2;
    empty.minor = 48;
    zotest::addScsiDisk(tree, empty);
    tree.write("/sys/class/fc_transport/target2:0:0/node_name", "");
    ScsiDiskSpec oddText;
    oddText.name = "sde";
    oddText.host = 3;
    oddText.minor = 64;
    zotest::addScsiDisk(tree, oddText);
    install();

    struct Case {
        const char* path;
        std::string file;  // contents of node_name (for sde)
        int code;          // 0: success
        std::string want;  // node name, or error text
    } cases[] = {
        {"/dev/sdb", "", 0, "0x50060e8007c3f200"},
        {"/dev/sdc", "", ENOENT,
         "Failed to get sysfs path /sys/class/fc_transport/target1:0:0/node_name for device /dev/sdc"},
        {"/dev/sdd", "", 774,
         "Empty node name in /sys/class/fc_transport/target2:0:0/node_name for device /dev/sdd"},
        {"/dev/sde", "\n", 774,
         "Empty node name in /sys/class/fc_transport/target3:0:0/node_name for device /dev/sde"},
        {"/dev/sde", "0x20000024ff0a1b2c", 0, "0x20000024ff0a1b2c"},
        {"/dev/sde", std::string(600, 'n') + "\n", 0, std::string(511, 'n')},
        {"/dev/sde", "0x1\nsecond line\n", 0, "0x1"},
    };
    for (const Case& c : cases) {
        if (!c.file.empty()) tree.write("/sys/class/fc_transport/target3:0:0/node_name", c.file);
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(c.path, &err);
        ASSERT_TRUE(dev) << c.path << ": " << err.AsString();
        auto* info = static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"));
        std::string out = "untouched";
        zotest::LogCapture log;
        CLuError result = info->GetArrayInitiatorId("/ignored", out, false);
        if (c.code == 0) {
            EXPECT_FALSE(result.IsError()) << c.path << ": " << result.AsString();
            EXPECT_EQ(c.want, out) << c.path;
        } else {
            EXPECT_EQ(c.code, result.GetCode()) << c.path;
            EXPECT_EQ(c.want, result.AsString()) << c.path;
            EXPECT_EQ("untouched", out) << c.path;
        }
        EXPECT_EQ(1u, log.countContaining(std::string("diskPath ") + c.path + ", sysfs-path /sys/class/fc_transport/target"))
            << log.dump();
    }
}

TEST(IdentityNames, DiskLetterNamesAreBijectiveBase26) {
    struct {
        long index;
        const char* name;
    } cases[] = {{0, "a"},     {25, "z"},    {26, "aa"},   {27, "ab"},   {51, "az"},
                 {52, "ba"},   {675, "yz"},  {676, "za"},  {701, "zz"},  {702, "aaa"},
                 {18277, "zzz"}, {18278, "aaaa"}, {-1, ""}};
    for (const auto& c : cases) EXPECT_EQ(c.name, getAAName(c.index)) << c.index;
}

TEST(IdentityArray, ArrayIdentifiersAlwaysFailAndLogOnlyWhenAsked) {
    using Fn = CLuError (*)(const std::string&, std::string&, bool);
    struct {
        const char* name;
        Fn fn;
        const char* message;
        const char* line;  // logged at level 2 with the flag
    } cases[] = {
        {"GetArrayIscsiIqn", &ZOSO::GetArrayIscsiIqn, "unable to get iscsi iqn", "unable to get iscsi iqn\n"},
        {"GetArrayFCWWN", &ZOSO::GetArrayFCWWN, "unable to get wwn", "unable to get wwn\n"},
    };
    for (const auto& c : cases) {
        for (bool flag : {false, true}) {
            zotest::LogCapture log;
            std::string out = "kept";
            CLuError err = c.fn("/dev/sdb", out, flag);
            EXPECT_EQ(-1, err.GetCode()) << c.name;
            EXPECT_TRUE(err.IsError()) << c.name;
            EXPECT_EQ(c.message, err.AsString()) << c.name;
            EXPECT_EQ("kept", out) << c.name;
            auto lines = log.lines();
            ASSERT_EQ(flag ? 1u : 0u, lines.size()) << c.name << " flag " << flag << "\n" << log.dump();
            if (flag) {
                EXPECT_EQ(2, lines[0].level) << c.name;
                EXPECT_EQ(c.line, lines[0].text) << c.name;
                EXPECT_NE(std::string::npos, lines[0].function.find(c.name)) << lines[0].function;
            }
        }
    }

    zotest::LogCapture log;
    std::string out = "kept";
    CLuError err = ZOSO::GetArrayInitiatorId("/dev/sdb", out, false);
    EXPECT_EQ(-1, err.GetCode());
    EXPECT_EQ("unable to get wwn", err.AsString());
    EXPECT_EQ("kept", out);
    EXPECT_EQ(1u, log.count("Unable to get FC WWN. Error [unable to get wwn]")) << log.dump();
}

}  // namespace
