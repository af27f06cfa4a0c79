// HardwareProbe: describes the computer the application runs on, from the system's own sources:
// the DMI system vendor and product name, the first "model name" of /proc/cpuinfo, the machine
// architecture, and the display controllers that lspci lists.
//
// detect() never fails: each source that cannot be read leaves its field empty. It blocks on one
// child process (lspci, at most 8 seconds) and is meant for a background thread; calls share
// nothing and may run concurrently.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalogue/device_profile.hpp"

namespace korvex {

struct HardwareProbe {
    // Where the facts come from. The defaults are the running system's; tests point them at files
    // and programs of their own.
    struct Sources {
        std::string dmiFolder = "/sys/class/dmi/id";  // holds sys_vendor and product_name
        std::string cpuinfo = "/proc/cpuinfo";
        std::string lspci = "/usr/bin/lspci";
        std::optional<std::string> machine;  // architecture name; nullopt asks uname()
    };

    static DeviceProfile detect();
    static DeviceProfile detect(const Sources& sources);

    // The trimmed value of the first "model name" line of /proc/cpuinfo text; empty when none.
    static std::string cpuModelName(std::string_view cpuinfo);

    // "Vendor Device" of every display controller (PCI class 0300, 0302 or 0380) in the output of
    // "lspci -mm -nn" (or "lspci -mm"), in its order. Malformed lines are skipped.
    static std::vector<std::string> displayControllers(std::string_view lspciOutput);

    // True for the architecture names of a 64-bit ARM machine ("aarch64", "arm64").
    static bool isArmMachine(std::string_view machine);
};

}  // namespace korvex
