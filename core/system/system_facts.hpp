// SystemFacts: what the programs learn from the operating system besides the disks, behind one
// seam (the disks have theirs, DiskFacts).
//
// Code that decides something from these facts asks a SystemFacts it was given; code that only
// ever needs the machine's own asks SystemFacts::system(). Tests hand the rules facts they wrote,
// usually by overriding single members of the system's source (system_facts_linux.hpp). Every
// answer is read afresh.
//
// Implementations must be safe to call from several threads at once. Failures are exceptions:
// ImagerError for what the facts or a tool report, std::system_error for the platform's errors.
#pragma once

#include <sys/types.h>

#include <string>

namespace korvex {

class SystemFacts {
  public:
    virtual ~SystemFacts() = default;

    // The home directory of user `uid`, from the user database. Throws ImagerError
    // "Unknown user." when the user has no record or no home directory.
    virtual std::string homeDirectoryOf(uid_t uid) = 0;

    // The absolute path of this program's executable file, symbolic links resolved.
    virtual std::string executable() = 0;

    // The hardware the application describes, as the system states it.
    // A DMI attribute of the machine, such as "sys_vendor" or "product_name".
    virtual std::string dmiAttribute(const std::string& name) = 0;
    // The text of /proc/cpuinfo.
    virtual std::string cpuinfo() = 0;
    // The machine's architecture name as the kernel gives it ("x86_64", "aarch64").
    virtual std::string machine() = 0;
    // The PCI devices as "lspci -mm -nn" prints them.
    virtual std::string pciDevices() = 0;
    // The processor as "lscpu --json" prints it.
    virtual std::string processorDescription() = 0;

    // The source that reads this machine. Lives for the whole process.
    static SystemFacts& system();
};

}  // namespace korvex
