#include "hxListHardware.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "hxExceptPlugins.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxTools.h"

namespace {

using TGetClassDevs = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using TEnumDeviceInfo = BOOL(WINAPI*)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
using TGetDeviceProperty = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*, DWORD, DWORD*);
using TDestroyInfoList = BOOL(WINAPI*)(HDEVINFO);

constexpr const char* ClassKeyRoot = "System\\CurrentControlSet\\Control\\Class\\";

std::atomic<int> initCount{0};

// A string property of a device; the buffer grows as the setup API asks and the text is cut
// at its first zero.
std::string DeviceProperty(TGetDeviceProperty getProperty, HDEVINFO devices, SP_DEVINFO_DATA& device,
                           DWORD property)
{
    std::vector<BYTE> buffer(256);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD required = 0;
        if (getProperty(devices, &device, property, &type, buffer.data(), static_cast<DWORD>(buffer.size()),
                        &required)) {
            if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
                return {};
            const size_t length = std::min<size_t>(required ? required : buffer.size(), buffer.size());
            const auto* text = reinterpret_cast<const char*>(buffer.data());
            return std::string(text, std::find(text, text + length, '\0'));
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size() || required > 65536)
            return {};
        buffer.resize(required);
    }
    return {};
}

bool SkippedClass(const std::string& className)
{
    return className.empty() || SameTextCI(className, "LegacyDriver") || SameTextCI(className, "Unknown") ||
           SameTextCI(className, "Volume");
}

std::string DriverNote(const std::string& driverKey)
{
    if (driverKey.empty())
        return {};
    const std::string key = ClassKeyRoot + driverKey;
    std::string provider = RegReadString(HKEY_LOCAL_MACHINE, key, "ProviderName");
    TrimText(provider);
    if (provider.empty() || provider[0] == '(' || SameTextCI(provider, "Microsoft"))
        return {};
    std::string version = RegReadString(HKEY_LOCAL_MACHINE, key, "DriverVersion");
    TrimText(version);
    if (version.empty())
        version = RegReadString(HKEY_LOCAL_MACHINE, key, "DriverDate");
    return version.empty() ? std::string() : " (driver " + version + ")";
}

}  // namespace

std::vector<THxDevice> ListDevices()
{
    std::vector<THxDevice> devices;
    const TLibraryOwner library(LoadLibraryA("setupapi.dll"));
    if (!library)
        return devices;
    const auto getClassDevs = LibraryProc<TGetClassDevs>(library.get(), "SetupDiGetClassDevsA");
    const auto enumDeviceInfo = LibraryProc<TEnumDeviceInfo>(library.get(), "SetupDiEnumDeviceInfo");
    const auto getProperty = LibraryProc<TGetDeviceProperty>(library.get(), "SetupDiGetDeviceRegistryPropertyA");
    const auto destroyList = LibraryProc<TDestroyInfoList>(library.get(), "SetupDiDestroyDeviceInfoList");
    if (!getClassDevs || !enumDeviceInfo || !getProperty || !destroyList)
        return devices;
    const HDEVINFO list = getClassDevs(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE)
        return devices;
    try {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; enumDeviceInfo(list, index, &device); ++index) {
            std::string className = DeviceProperty(getProperty, list, device, SPDRP_CLASS);
            TrimText(className);
            if (!SkippedClass(className)) {
                std::string description = DeviceProperty(getProperty, list, device, SPDRP_DEVICEDESC);
                TrimText(description);
                devices.push_back({className, description + DriverNote(DeviceProperty(getProperty, list, device,
                                                                                       SPDRP_DRIVER))});
            }
            device.cbSize = sizeof device;
        }
    } catch (...) {
        destroyList(list);
        throw;
    }
    destroyList(list);
    return devices;
}

std::string HardwareText(std::vector<THxDevice> devices)
{
    std::stable_sort(devices.begin(), devices.end(), [](const THxDevice& a, const THxDevice& b) {
        return LowerCaseCopy(a.ClassName) < LowerCaseCopy(b.ClassName);
    });
    std::string text;
    const std::string* lastClass = nullptr;
    for (const THxDevice& device : devices) {
        if (!lastClass || !SameTextCI(*lastClass, device.ClassName)) {
            if (!text.empty())
                text += "\r\n";
            text += "+ " + device.ClassName;
            lastClass = &device.ClassName;
        }
        text += "\r\n  - " + device.Description;
    }
    return text;
}

std::string ListHardwareText()
{
    return HardwareText(ListDevices());
}

void InitListHardware() noexcept
{
    AcquireReportPlugin(initCount, "hardware", "list of installed devices", &ListHardwareText, true);
}

void DoneListHardware() noexcept
{
    ReleaseReportPlugin(initCount, "hardware");
}
