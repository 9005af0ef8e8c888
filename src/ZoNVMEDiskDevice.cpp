// PLACEHOLDER: replaced by the kind.
#include "ZoNVMEDiskDevice.h"
#include "ZoInternal.h"
#include "ZoPlaceholder.h"
ZoNVMEDiskDevice::ZoNVMEDiskDevice(const char* p) : diskPath(p ? p : "") {}
ZoNVMEDiskDevice::~ZoNVMEDiskDevice() = default;
void* ZoNVMEDiskDevice::getInterface(const char*) { return nullptr; }
int ZoNVMEDiskDevice::getPartitions(std::list<ZoPartInfo>&, CLuError*, bool) { ZO_PLACEHOLDER(); }
SP<ZoDevice> ZoNVMEDiskDevice::getParentDevice(CLuError*) { ZO_PLACEHOLDER(); }
CLuError ZoNVMEDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) { return CLuError::Success(); }
CLuError ZoNVMEDiskDevice::GetDeviceWwid(const std::string&, std::string&) { return CLuError::Success(); }
bool ZoNVMEDiskDevice::isSupportedDevice(const char*, CLuError*) { return false; }
SP<ZoDevice> ZoNVMEDiskDevice::getInstance(const char*, CLuError*) { return SP<ZoDevice>(); }
int ZoNVMEDiskDevice::getDevices(std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
int ZoNVMEDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
namespace zo_internal { void resetNvmeMajor() {} }
