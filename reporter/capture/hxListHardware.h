#pragma once

// The "hardware" report plug-in: the installed devices grouped by class, with their driver versions.

#include <string>
#include <vector>

struct THxDevice {
    std::string ClassName;
    std::string Description;   // with its driver note
};

// The present devices of the classes the report shows, in the setup API's order.
std::vector<THxDevice> ListDevices();
// Grouped by class ("+ class", then "  - device" lines), classes sorted without regard to case.
std::string HardwareText(std::vector<THxDevice> devices);

std::string ListHardwareText();
// The first call registers the plug-in, the matching last call removes it.
void InitListHardware() noexcept;
void DoneListHardware() noexcept;
