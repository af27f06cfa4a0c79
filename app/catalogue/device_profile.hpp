// DeviceProfile: what the recommender knows about a computer's hardware.
//
// A plain value with writable fields; copy freely and share between threads without locking.
#pragma once

#include <string>
#include <vector>

namespace korvex {

struct DeviceProfile {
    std::string manufacturer;           // maker of the computer (DMI system vendor); may be empty
    std::string model;                  // the computer's model (DMI product name); may be empty
    std::string cpu;                    // processor brand text; may be empty
    std::vector<std::string> gpuNames;  // graphics devices, vendor and device, in bus order
    bool appleSilicon = false;  // true on an ARM (aarch64) host, which cannot boot our x86 images

    friend bool operator==(const DeviceProfile&, const DeviceProfile&) = default;
};

}  // namespace korvex
