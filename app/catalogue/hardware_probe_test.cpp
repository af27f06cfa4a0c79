#include "app/catalogue/hardware_probe.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <fstream>
#include <sstream>

#include "tests/test_support.hpp"

namespace korvex {
namespace {

using Names = std::vector<std::string>;

// A real lspci listing with one display controller of each class between other devices.
const std::string kListing =
    "00:00.0 \"Host bridge [0600]\" \"Intel Corporation [8086]\" \"Device [0d57]\" -p00 \"\" \"\"\n"
    "00:02.0 \"VGA compatible controller [0300]\" \"Intel Corporation [8086]\" "
    "\"TigerLake-LP GT2 [Iris Xe Graphics] [9a49]\" -r01 -p00 \"Lenovo [17aa]\" \"Device [22e4]\"\n"
    "00:1f.3 \"Audio device [0403]\" \"Intel Corporation [8086]\" \"Tiger Lake-LP Smart Sound "
    "Technology Audio Controller [a0c8]\" -r20 -p80 \"Lenovo [17aa]\" \"Device [22e4]\"\n"
    "01:00.0 \"3D controller [0302]\" \"NVIDIA Corporation [10de]\" "
    "\"TU117M [GeForce GTX 1650 Mobile / Max-Q] [1f9d]\" -ra1 -p00 \"Lenovo [17aa]\" \"D [22e4]\"\n"
    "02:00.0 \"Display controller [0380]\" \"Advanced Micro Devices, Inc. [AMD/ATI] [1002]\" "
    "\"Device [73ff]\" -rc7 \"\" \"\"\n"
    "03:00.0 \"Non-Volatile memory controller [0108]\" \"Samsung [144d]\" \"NVMe SSD [a808]\"\n";

const Names kListed = {"Intel Corporation TigerLake-LP GT2 [Iris Xe Graphics]",
                       "NVIDIA Corporation TU117M [GeForce GTX 1650 Mobile / Max-Q]",
                       "Advanced Micro Devices, Inc. [AMD/ATI] Device"};

std::string firstModelName() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            std::string value = line.substr(line.find(':') + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t\r") + 1);
            return value;
        }
    }
    return "";
}

std::string trimmedFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    std::string value = s.str();
    value.erase(0, value.find_first_not_of(" \t\n"));
    value.erase(value.find_last_not_of(" \t\n") + 1);
    return value;
}

// A stand-in for lspci: a real program that records its arguments and prints what the test wrote.
std::string writeTool(const testing::TempDir& dir, const std::string& output, int status = 0) {
    testing::writeFile(dir.file("listing"), output);
    std::string script = "#!/bin/sh\necho \"$@\" > '" + dir.file("arguments") + "'\ncat '" +
                         dir.file("listing") + "'\nexit " + std::to_string(status) + "\n";
    testing::writeFile(dir.file("lspci"), script);
    chmod(dir.file("lspci").c_str(), 0755);
    return dir.file("lspci");
}

TEST(HardwareProbe, ReadsThisMachineWithoutFailing) {
    DeviceProfile profile;
    ASSERT_NO_THROW(profile = HardwareProbe::detect());
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    std::string machine = name.machine;
    EXPECT_EQ(profile.appleSilicon, machine == "aarch64" || machine == "arm64");
    EXPECT_EQ(profile.manufacturer, trimmedFile("/sys/class/dmi/id/sys_vendor"));
    EXPECT_EQ(profile.model, trimmedFile("/sys/class/dmi/id/product_name"));
    std::string cpu = firstModelName();
    if (cpu.empty() && profile.appleSilicon) {
        EXPECT_FALSE(profile.cpu.empty());  // lscpu's name or the generic one
    } else {
        EXPECT_EQ(profile.cpu, cpu);
    }
    if (access("/usr/bin/lspci", X_OK) == 0) {
        EXPECT_EQ(profile.gpuNames,
                  HardwareProbe::displayControllers(testing::shell("/usr/bin/lspci -mm -nn")));
    } else {
        EXPECT_TRUE(profile.gpuNames.empty());
    }
}

TEST(HardwareProbe, ReadsTheSourcesATestWrote) {
    testing::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("dmi").c_str(), 0755), 0);
    testing::writeFile(dir.file("dmi/sys_vendor"), "  LENOVO\n");
    testing::writeFile(dir.file("dmi/product_name"), "20XW0055GE \xFF\n");
    testing::writeFile(dir.file("cpuinfo"),
                       "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel\t\t: 140\n"
                       "model name\t: 11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz  \n\n"
                       "processor\t: 1\nmodel name\t: something else\n");
    HardwareProbe::Sources sources{dir.file("dmi"), dir.file("cpuinfo"), writeTool(dir, kListing),
                                   "x86_64"};
    DeviceProfile profile = HardwareProbe::detect(sources);
    EXPECT_EQ(profile.manufacturer, "LENOVO");
    EXPECT_EQ(profile.model, "20XW0055GE \uFFFD");
    EXPECT_EQ(profile.cpu, "11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz");
    EXPECT_FALSE(profile.appleSilicon);
    EXPECT_EQ(profile.gpuNames, kListed);
    EXPECT_EQ(testing::readFile(dir.file("arguments")), "-mm -nn\n");

    // A failing tool leaves only the graphics empty; so does a missing one.
    sources.lspci = writeTool(dir, kListing, 1);
    DeviceProfile failed = HardwareProbe::detect(sources);
    EXPECT_TRUE(failed.gpuNames.empty());
    EXPECT_EQ(failed.cpu, profile.cpu);
    EXPECT_EQ(failed.manufacturer, "LENOVO");
    sources.lspci = dir.file("no-such-tool");
    EXPECT_TRUE(HardwareProbe::detect(sources).gpuNames.empty());

    // An ARM host without a processor name, and no readable sources at all.
    HardwareProbe::Sources arm{dir.file("none"), dir.file("none"), dir.file("none"), "aarch64",
                               dir.file("none")};
    DeviceProfile armProfile = HardwareProbe::detect(arm);
    EXPECT_EQ(armProfile, (DeviceProfile{"", "", "ARM processor", {}, true}));
    // There lscpu names the cores from their part numbers: the first cluster's name is taken.
    const struct {
        std::string output;
        int status;
        std::string cpu;
    } kLscpu[] = {
        {R"({"lscpu":[{"field":"Architecture:","data":"aarch64"},{"field":"Vendor ID:",)"
         R"("data":"ARM","children":[{"field":"Model name:","data":"Cortex-A55","children":[)"
         R"({"field":"Model:","data":"0"}]},{"field":"Model name:","data":"Cortex-A76"}]}]})",
         0, "Cortex-A55"},
        {R"({"lscpu":[{"field":"BIOS Model name:","data":"x"},{"field":"Model name:",)"
         R"("data":" - "},{"field":"Model name:","data":" Neoverse-N1 "}]})",
         0, "Neoverse-N1"},
        {R"({"lscpu":[{"field":"Model name:","data":"Cortex-A72"}]})", 1, "ARM processor"},
        {R"({"lscpu":[{"field":"Model name:","data":"-"}]})", 0, "ARM processor"},
        {"Model name: Cortex-A53\n", 0, "ARM processor"},
    };
    for (const auto& c : kLscpu) {
        SCOPED_TRACE(c.output);
        testing::TempDir tool;
        arm.lscpu = writeTool(tool, c.output, c.status);
        EXPECT_EQ(HardwareProbe::detect(arm).cpu, c.cpu);
        EXPECT_EQ(testing::readFile(tool.file("arguments")), "--json\n");
    }
    arm.lscpu = dir.file("none");
    arm.machine = "arm64";
    arm.cpuinfo = dir.file("cpuinfo");
    EXPECT_EQ(HardwareProbe::detect(arm).cpu, profile.cpu);
    arm.machine = "armv7l";
    arm.cpuinfo = dir.file("none");
    EXPECT_EQ(HardwareProbe::detect(arm), DeviceProfile{});
}

TEST(HardwareProbe, DisplayControllersFromEitherListingForm) {
    EXPECT_EQ(HardwareProbe::displayControllers(kListing), kListed);
    // Without numeric ids the class is named.
    EXPECT_EQ(
        HardwareProbe::displayControllers(
            "00:02.0 \"VGA compatible controller\" \"Intel Corporation\" \"UHD Graphics 620\" "
            "-r07 \"Dell\" \"Device 0810\"\n"
            "00:03.0 \"Audio device\" \"Intel Corporation\" \"HD Audio\"\n"
            "01:00.0 \"3D controller\" \"NVIDIA Corporation\" \"GP108M [GeForce MX150]\"\n"
            "02:00.0 \"Display controller\" \"Vendor \"Q\" Inc\" \"Panel\"\n"),
        (Names{"Intel Corporation UHD Graphics 620", "NVIDIA Corporation GP108M [GeForce MX150]",
               "Vendor \"Q\" Inc Panel"}));
    // Malformed, truncated and unrelated lines are skipped; the rest still count.
    EXPECT_EQ(
        HardwareProbe::displayControllers(
            "garbage\n\n00:02.0 \"VGA compatible controller [0300]\" \"Intel\n"
            "00:02.0 \"VGA compatible controller [0300]\"\n"
            "00:02.0 \"VGA compatible controller [0301]\" \"A\" \"B\"\n"
            "00:02.0 \"VGA compatible controller [0300]\" \"\" \"\"\n"
            "00:02.0 \"VGA compatible controller [0300]\" \"Matrox [102b]\" \"G200eR2 [0534]\""),
        (Names{"Matrox G200eR2"}));
    EXPECT_TRUE(HardwareProbe::displayControllers("").empty());
}

TEST(HardwareProbe, CpuModelNameIsTheFirstTrimmedOne) {
    EXPECT_EQ(HardwareProbe::cpuModelName("model name : A\nmodel name : B\n"), "A");
    EXPECT_EQ(HardwareProbe::cpuModelName("model\t\t: 140\nmodel name\t:\t B B \t\n"), "B B");
    EXPECT_EQ(HardwareProbe::cpuModelName("Processor\t: ARMv7\nCPU part\t: 0xd08\n"), "");
    EXPECT_EQ(HardwareProbe::cpuModelName("model name"), "");
    EXPECT_EQ(HardwareProbe::cpuModelName(""), "");
}

}  // namespace
}  // namespace korvex
