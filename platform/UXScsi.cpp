// PLACEHOLDER: replaced by the SCSI layer.
#include "UXScsi.h"
#include "../src/ZoPlaceholder.h"
void UXScsi::refreshDeviceList(Device::DEVICE_TYPE, bool) {}
std::list<UXScsi::Device> UXScsi::getDeviceList(Device::DEVICE_TYPE, bool, bool, bool) { return {}; }
