#include "app/catalogue/hardware_probe.hpp"

#include <cerrno>
#include <map>
#include <system_error>

#include "core/system/system_facts_linux.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

// The facts a test wrote, by source; a source left out cannot be read.
struct WrittenFacts : LinuxSystemFacts {
    std::map<std::string, std::string> w;
    std::string read(const std::string& s) {
        return w.count(s) ? w.at(s) : throw std::system_error(ENOENT, std::generic_category(), s);
    }
    std::string dmiAttribute(const std::string& name) override { return read(name); }
    std::string cpuinfo() override { return read("cpuinfo"); }
    std::string machine() override { return read("machine"); }
    std::string pciDevices() override { return read("lspci"); }
    std::string processorDescription() override { return read("lscpu"); }
};

// Catches a source read from the wrong place.
TEST(HardwareProbe, ReadsThisMachine) {
    const DeviceProfile profile = HardwareProbe::detect();
    const auto sh = [](const std::string& command) {
        std::string s = testing::shell(command + " 2>/dev/null; true");
        s.erase(0, s.find_first_not_of(" \t\n"));
        return s.erase(s.find_last_not_of(" \t\n") + 1);
    };
    EXPECT_EQ(profile.appleSilicon, HardwareProbe::isArmMachine(sh("uname -m")));
    EXPECT_EQ(
        profile.manufacturer + "/" + profile.model,
        sh("cat /sys/class/dmi/id/sys_vendor") + "/" + sh("cat /sys/class/dmi/id/product_name"));
    const std::string cpu = sh("sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -n1");
    EXPECT_TRUE(profile.cpu == cpu || (cpu.empty() && profile.appleSilicon)) << profile.cpu;
    EXPECT_EQ(profile.gpuNames, HardwareProbe::displayControllers(sh("lspci -mm -nn")));
}

// Catches a field from the wrong source or line, a non-display or broken lspci line listed, one
// unreadable source emptying the others, an ARM processor left unnamed.
TEST(HardwareProbe, DescribesTheFactsItIsGiven) {
    const auto detect = [](std::map<std::string, std::string> w) {
        WrittenFacts facts;
        facts.w = std::move(w);
        return HardwareProbe::detect(facts);
    };
    const std::string intel = "11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz";
    std::map<std::string, std::string> lenovo{
        {"sys_vendor", "  LENOVO\n"},
        {"product_name", "20XW0055GE \xFF\n"},
        {"cpuinfo", "model\t\t: 140\nmodel name\t: " + intel + "  \n\nmodel name\t: other\n"},
        {"machine", "x86_64"},
        {"lspci",
         "00:00.0 \"Host bridge [0600]\" \"Intel Corporation [8086]\" \"Device [0d57]\" -p00\n"
         "00:02.0 \"VGA compatible controller [0300]\" \"Intel Corporation [8086]\" "
         "\"Iris Xe [9a49]\" -r01 -p00 \"Lenovo [17aa]\" \"Device [22e4]\"\n"
         "garbage\n\n00:02.0 \"VGA compatible controller [0300]\" \"Intel\n"
         "00:02.0 \"VGA compatible controller [0301]\" \"A\" \"B\"\n"
         "00:04.0 \"Display controller\" \"Vendor \"Q\" Inc\" \"Panel\" -r07 \"Dell\" \"D\"\n"
         "01:00.0 \"3D controller [0302]\" \"NVIDIA Corporation [10de]\" \"TU117M [GTX 1650] "
         "[1f9d]\"\n"
         "02:00.0 \"Display controller [0380]\" \"AMD [1002]\" \"Device [73ff]\" -rc7 \"\" \"\""}};
    const std::vector<std::string> listed = {"Intel Corporation Iris Xe", "Vendor \"Q\" Inc Panel",
                                             "NVIDIA Corporation TU117M [GTX 1650]", "AMD Device"};
    EXPECT_EQ(detect(lenovo), (DeviceProfile{"LENOVO", "20XW0055GE \uFFFD", intel, listed, false}));
    lenovo.erase("lspci");
    EXPECT_EQ(detect(lenovo), (DeviceProfile{"LENOVO", "20XW0055GE \uFFFD", intel, {}, false}));
    EXPECT_EQ(detect({}), DeviceProfile{});
    EXPECT_EQ(detect({{"machine", "armv7l"}}), DeviceProfile{});
    EXPECT_EQ(detect({{"machine", "aarch64"}}), (DeviceProfile{"", "", "ARM processor", {}, true}));
    const std::string a72 = R"({"lscpu":[{"field":"Model name:","data":"Cortex-A72"}]})";
    EXPECT_EQ(detect({{"machine", "arm64"}, {"cpuinfo", "model name : X1"}, {"lscpu", a72}}).cpu,
              "X1");
    EXPECT_EQ(detect({{"machine", "arm64"}, {"lscpu", a72}}).cpu, "Cortex-A72");
}

}  // namespace
}  // namespace korvex
