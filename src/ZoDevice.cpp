// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoDevice.h"
#include "ZoDeviceTree.h"
#include "ZoHost.h"

#include <cstring>

int ZoDevice::mod_id = 0x1234;
const int ZoDeviceTree::mod_id = 0xfeed;

ZoDevice::ZoDevice() : type(NONE) {}

ZoDevice::ZoDevice(const std::string& path, const TYPE& t) : type(t), devicePath(path) {}

ZoDevice::~ZoDevice() = default;

void* ZoDevice::getInterface(const char*) { return nullptr; }

const std::string& ZoDevice::getDevicePath() const { return devicePath; }

ZoDeviceCompare::ZoDeviceCompare(SP<ZoDevice> reference) : m_statOk(false), m_reference(reference) {
    std::memset(&m_stat, 0, sizeof m_stat);
    if (m_reference)
        m_statOk = ZoHost::current()->stat(m_reference->getDevicePath(), &m_stat) == 0;
}

namespace {
bool isDeviceNode(const struct stat& st) { return S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode); }
}  // namespace

bool ZoDeviceCompare::operator()(SP<ZoDevice> candidate) const {
    if (!candidate || !m_reference) return false;
    if (candidate->getDevicePath() == m_reference->getDevicePath()) return true;
    if (!m_statOk || !isDeviceNode(m_stat)) return false;
    struct stat st;
    if (ZoHost::current()->stat(candidate->getDevicePath(), &st) != 0) return false;
    if (!isDeviceNode(st)) return false;
    return st.st_rdev == m_stat.st_rdev;
}
