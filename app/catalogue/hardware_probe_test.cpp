#include "app/catalogue/hardware_probe.hpp"

#include <cerrno>
#include <map>
#include <system_error>
#include <utility>

#include "core/system/system_facts_linux.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

// The facts a test wrote, by source; a source left out cannot be read.
using Written = std::map<std::string, std::string>;
struct WrittenFacts : LinuxSystemFacts {
    Written w;
    std::string read(const std::string& s) {
        return w.count(s) ? w.at(s) : throw std::system_error(ENOENT, std::generic_category(), s);
    }
    std::string dmiAttribute(const std::string& name) override { return read(name); }
    std::string cpuinfo() override { return read("cpuinfo"); }
    std::string machine() override { return read("machine"); }
    std::string pciDevices() override { return read("lspci"); }
    std::string processorDescription() override { return read("lscpu"); }
};

// Each display class between other devices, one named by text with quotes in its name, and
// malformed, truncated or non-display lines (skipped; the rest still count).
const std::string kListing =
    "00:00.0 \"Host bridge [0600]\" \"Intel Corporation [8086]\" \"Device [0d57]\" -p00 \"\" \"\"\n"
    "00:02.0 \"VGA compatible controller [0300]\" \"Intel Corporation [8086]\" "
    "\"TigerLake-LP GT2 [Iris Xe Graphics] [9a49]\" -r01 -p00 \"Lenovo [17aa]\" \"Device [22e4]\"\n"
    "garbage\n\n00:02.0 \"VGA compatible controller [0300]\" \"Intel\n"
    "00:02.0 \"VGA compatible controller [0300]\"\n"
    "00:02.0 \"VGA compatible controller [0301]\" \"A\" \"B\"\n"
    "00:02.0 \"VGA compatible controller [0300]\" \"\" \"\"\n"
    "00:03.0 \"Audio device\" \"Intel\" \"HD Audio\"\n"
    "00:04.0 \"Display controller\" \"Vendor \"Q\" Inc\" \"Panel\" -r07 \"Dell\" \"D 0810\"\n"
    "01:00.0 \"3D controller [0302]\" \"NVIDIA Corporation [10de]\" "
    "\"TU117M [GeForce GTX 1650 Mobile / Max-Q] [1f9d]\" -ra1 -p00 \"Lenovo [17aa]\" \"D [22e4]\"\n"
    "02:00.0 \"Display controller [0380]\" \"Advanced Micro Devices, Inc. [AMD/ATI] [1002]\" "
    "\"Device [73ff]\" -rc7 \"\" \"\"";
const std::vector<std::string> kListed = {
    "Intel Corporation TigerLake-LP GT2 [Iris Xe Graphics]", "Vendor \"Q\" Inc Panel",
    "NVIDIA Corporation TU117M [GeForce GTX 1650 Mobile / Max-Q]",
    "Advanced Micro Devices, Inc. [AMD/ATI] Device"};

// Catches a source read from the wrong place or the lscpu document not asked for.
TEST(HardwareProbe, ReadsThisMachine) {
    const DeviceProfile profile = HardwareProbe::detect();
    const auto sh = [](const std::string& command) {
        std::string s = testing::shell(command + " 2>/dev/null; true");
        s.erase(0, s.find_first_not_of(" \t\n"));
        return s.erase(s.find_last_not_of(" \t\n") + 1);
    };
    EXPECT_EQ(profile.appleSilicon, HardwareProbe::isArmMachine(sh("uname -m")));
    EXPECT_EQ(profile.manufacturer + "/" + profile.model,
              sh("cat /sys/class/dmi/id/sys_vendor") + "/" + sh("cat /sys/class/dmi/id/product_name"));
    const std::string cpu = sh("sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -n1");
    EXPECT_TRUE(profile.cpu == cpu || (cpu.empty() && profile.appleSilicon)) << profile.cpu;
    EXPECT_EQ(profile.gpuNames, HardwareProbe::displayControllers(sh("lspci -mm -nn")));
    EXPECT_NE(HardwareProbe::lscpuModelName(SystemFacts::system().processorDescription()), "");
}

// Catches a field taken from the wrong source or line, one unreadable source emptying the rest.
TEST(HardwareProbe, DescribesTheFactsItIsGiven) {
    const auto detect = [](Written w) {
        WrittenFacts facts;
        facts.w = std::move(w);
        return HardwareProbe::detect(facts);
    };
    const std::string intel = "11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz";
    Written lenovo{{"sys_vendor", "  LENOVO\n"},
                   {"product_name", "20XW0055GE \xFF\n"},
                   {"cpuinfo", "processor\t: 0\nmodel\t\t: 140\nmodel name\t: " + intel +
                                   "  \n\nprocessor\t: 1\nmodel name\t: something else\n"},
                   {"machine", "x86_64"},
                   {"lspci", kListing}};
    EXPECT_EQ(detect(lenovo),
              (DeviceProfile{"LENOVO", "20XW0055GE \uFFFD", intel, kListed, false}));
    lenovo.erase("lspci");
    EXPECT_EQ(detect(lenovo), (DeviceProfile{"LENOVO", "20XW0055GE \uFFFD", intel, {}, false}));
    EXPECT_EQ(detect({}), DeviceProfile{});
    EXPECT_EQ(detect({{"machine", "armv7l"}}), DeviceProfile{});
    EXPECT_EQ(detect({{"machine", "aarch64"}}), (DeviceProfile{"", "", "ARM processor", {}, true}));
    const std::string a72 = R"({"lscpu":[{"field":"Model name:","data":"Cortex-A72"}]})";
    EXPECT_EQ(detect({{"machine", "arm64"}, {"cpuinfo", "model name : X1"}, {"lscpu", a72}}).cpu,
              "X1");
    EXPECT_EQ(detect({{"machine", "arm64"}, {"lscpu", a72}}).cpu, "Cortex-A72");
    const std::pair<std::string, std::string> kLscpu[] = {
        {R"({"lscpu":[{"field":"Vendor ID:","data":"ARM","children":[{"field":"Model name:",)"
         R"("data":"Cortex-A55","children":[{"field":"Model:","data":"0"}]},{"field":)"
         R"("Model name:","data":"Cortex-A76"}]}]})",
         "Cortex-A55"},
        {R"({"lscpu":[{"field":"BIOS Model name:","data":"x"},{"field":"Model name:",)"
         R"("data":" - "},{"field":"Model name:","data":" Neoverse-N1 "}]})",
         "Neoverse-N1"},
        {"Model name: Cortex-A53\n", ""}};
    for (const auto& [output, name] : kLscpu)
        EXPECT_EQ(HardwareProbe::lscpuModelName(output), name);
}

}  // namespace
}  // namespace korvex
