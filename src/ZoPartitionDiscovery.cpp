// PLACEHOLDER: replaced by partition discovery.
#include "ZoScsiDiskDevice.h"
#include "ZoPlaceholder.h"
int ZoScsiDiskDevice::getPartitions(std::list<ZoPartInfo>&, CLuError*, bool) { ZO_PLACEHOLDER(); }
SP<ZoDevice> ZoScsiDiskDevice::getParentDevice(CLuError*) { ZO_PLACEHOLDER(); }
