// Whether this Windows can run the board's WDM driver, and a warning when it cannot.
#pragma once

#include "platform/os_port.h"
#include "platform/ui_port.h"

#include <string>

namespace flashwell::device {

bool SupportsWdmDrivers(platform::OsPort& os);
void OsInformation(platform::OsPort& os, std::string& text);
// Always 0; the caller does not depend on the outcome. Opens no device.
int CheckDriverSupport(platform::OsPort& os, platform::UiPort& ui);

// The warning, in Windows-1252, that precedes the OsInformation text.
extern const char* const kWdmWarningText;

} // namespace flashwell::device
