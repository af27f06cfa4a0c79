// LinuxSystemFacts: the system facts of a Linux machine: the user database, /proc/self/exe,
// /sys/class/dmi/id, /proc/cpuinfo, uname(), and lspci and lscpu run through the bounded command
// runner (8 s and 2 MiB each). Files are read up to 2 MiB. Stateless; safe from any thread.
#pragma once

#include "core/system/system_facts.hpp"

namespace korvex {

class LinuxSystemFacts : public SystemFacts {
  public:
    std::string homeDirectoryOf(uid_t uid) override;
    std::string executable() override;
    std::string dmiAttribute(const std::string& name) override;
    std::string cpuinfo() override;
    std::string machine() override;
    std::string pciDevices() override;
    std::string processorDescription() override;
};

}  // namespace korvex
