// PLACEHOLDER: replaced by the multipath kind.
#include "ZoMpioDiskDevice.h"
#include "ZoPlaceholder.h"
ZoMpioDiskDevice::ZoMpioDiskDevice(const std::string& p) : ZoDevice(p, MPIO_DISK) {}
ZoMpioDiskDevice::~ZoMpioDiskDevice() = default;
void* ZoMpioDiskDevice::getInterface(const char*) { return nullptr; }
int ZoMpioDiskDevice::sendScsiCDB(const void*, int, void*, int, bool, bool, void*, int, int, CLuError*) { ZO_PLACEHOLDER(); }
const std::string& ZoMpioDiskDevice::getActivePath() const { return getDevicePath(); }
int ZoMpioDiskDevice::setFailIfNoPath(CLuError*) { ZO_PLACEHOLDER(); }
int ZoMpioDiskDevice::getPartitions(std::list<ZoPartInfo>&, CLuError*, bool) { ZO_PLACEHOLDER(); }
SP<ZoDevice> ZoMpioDiskDevice::getParentDevice(CLuError*) { ZO_PLACEHOLDER(); }
CLuError ZoMpioDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) { ZO_PLACEHOLDER(); }
CLuError ZoMpioDiskDevice::GetDeviceWwid(const std::string&, std::string&) { ZO_PLACEHOLDER(); }
bool ZoMpioDiskDevice::isSupportedDevice(const char*, CLuError*) { return false; }
SP<ZoDevice> ZoMpioDiskDevice::getInstance(const char*, CLuError*) { return SP<ZoDevice>(); }
int ZoMpioDiskDevice::getDevices(std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
int ZoMpioDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
