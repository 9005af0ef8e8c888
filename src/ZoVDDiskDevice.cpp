// PLACEHOLDER: replaced by the kind.
#include "ZoVDDiskDevice.h"
#include "ZoInternal.h"
#include "ZoPlaceholder.h"
ZoVDDiskDevice::ZoVDDiskDevice(const char* p) : diskPath(p ? p : "") {}
ZoVDDiskDevice::~ZoVDDiskDevice() = default;
void* ZoVDDiskDevice::getInterface(const char*) { return nullptr; }
int ZoVDDiskDevice::getPartitions(std::list<ZoPartInfo>&, CLuError*, bool) { ZO_PLACEHOLDER(); }
SP<ZoDevice> ZoVDDiskDevice::getParentDevice(CLuError*) { ZO_PLACEHOLDER(); }
CLuError ZoVDDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) { return CLuError::Success(); }
CLuError ZoVDDiskDevice::GetDeviceWwid(const std::string&, std::string&) { return CLuError::Success(); }
bool ZoVDDiskDevice::isSupportedDevice(const char*, CLuError*) { return false; }
SP<ZoDevice> ZoVDDiskDevice::getInstance(const char*, CLuError*) { return SP<ZoDevice>(); }
int ZoVDDiskDevice::getDevices(std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
int ZoVDDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
namespace zo_internal { void resetXvdMajor() {} }
