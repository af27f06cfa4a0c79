// HardwareProbe: describes the computer the application runs on, from the system's own sources
// (SystemFacts): the DMI system vendor and product name, the first "model name" of /proc/cpuinfo,
// the machine architecture, and the display controllers that lspci lists. An ARM host's
// /proc/cpuinfo names no model; there the processor is the "Model name" that lscpu decodes from
// its part number (such as "Cortex-A76"), else "ARM processor".
//
// detect() never fails: each source that cannot be read leaves its field empty. It blocks on child
// processes (lspci, and lscpu on an ARM host, at most 8 seconds each) and is meant for a
// background thread; calls share nothing and may run concurrently when the facts allow it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/catalogue/device_profile.hpp"
#include "core/system/system_facts.hpp"

namespace korvex {

struct HardwareProbe {
    // The running system's profile, and the profile `facts` describe.
    static DeviceProfile detect();
    static DeviceProfile detect(SystemFacts& facts);

    // The trimmed value of the first "model name" line of /proc/cpuinfo text; empty when none.
    static std::string cpuModelName(std::string_view cpuinfo);

    // The first non-empty "Model name" in the output of "lscpu --json" (flat or nested); empty
    // when there is none or the output is no such document. lscpu's "-" means unknown.
    static std::string lscpuModelName(std::string_view lscpuOutput);

    // "Vendor Device" of every display controller (PCI class 0300, 0302 or 0380) in the output of
    // "lspci -mm -nn" (or "lspci -mm"), in its order. Malformed lines are skipped.
    static std::vector<std::string> displayControllers(std::string_view lspciOutput);

    // True for the architecture names of a 64-bit ARM machine ("aarch64", "arm64").
    static bool isArmMachine(std::string_view machine);
};

}  // namespace korvex
