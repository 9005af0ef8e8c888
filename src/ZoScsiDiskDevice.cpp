// PLACEHOLDER: replaced by the SCSI kind.
#include "ZoScsiDiskDevice.h"
#include "ZoPlaceholder.h"
ZoScsiDiskDevice::ZoScsiDiskDevice(UXScsiTarget& t) : scsiTarget(t) {}
ZoScsiDiskDevice::~ZoScsiDiskDevice() = default;
void* ZoScsiDiskDevice::getInterface(const char*) { return nullptr; }
int ZoScsiDiskDevice::sendScsiCDB(const void*, int, void*, int, bool, bool, void*, int, int, CLuError*) { ZO_PLACEHOLDER(); }
CLuError ZoScsiDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) { ZO_PLACEHOLDER(); }
CLuError ZoScsiDiskDevice::GetDeviceWwid(const std::string&, std::string&) { ZO_PLACEHOLDER(); }
bool ZoScsiDiskDevice::isSupportedDevice(const char*, CLuError*) { return false; }
SP<ZoDevice> ZoScsiDiskDevice::getInstance(const char*, CLuError*) { return SP<ZoDevice>(); }
int ZoScsiDiskDevice::getDevices(std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
int ZoScsiDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) { out.clear(); return 0; }
