// Platform constants: the few values that differ from one operating system to another.
// Everything here is Linux's; a second platform would supply its own copy of this header.
#pragma once

#include <string_view>

namespace korvex::platform {

// The application's private channel directory is kChannelPrefix + UUID, holding a socket "s".
inline constexpr std::string_view kChannelPrefix = "/tmp/kvi-";
inline constexpr std::string_view kChannelSocketName = "s";

// Temporary directory template of the launch script (mktemp -d).
inline constexpr std::string_view kLaunchTempTemplate = "/tmp/korvex-imager.XXXXXXXX";

// Raw device path of a whole disk: kRawDevicePrefix + identifier.
inline constexpr std::string_view kRawDevicePrefix = "/dev/";

// True when `name` is a whole disk as the application lists it and the writer accepts it:
// ^(sd[a-z]{1,3}|mmcblk[0-9]{1,3})$, letter case ignored.
bool isListedWholeDiskName(std::string_view name);

// True when `name` can be any kernel whole-disk name met as a parent or backing store:
// ^[a-z][a-z0-9]{0,31}$, letter case ignored.
bool isAnyWholeDiskName(std::string_view name);

}  // namespace korvex::platform
