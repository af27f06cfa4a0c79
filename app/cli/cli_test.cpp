// The command line refuses what it must before any writer is started, with the system's texts
// and a non-zero exit, and leaves the drive untouched.
#include "app/cli/cli.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "core/system/disk_inventory.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

namespace korvex {
namespace {

struct CliRun {
    int status;
    std::string out, err;
};

CliRun cli(std::vector<std::string> args, const WriterClient::Environment& env,
           const std::string& typed = "") {
    args.insert(args.begin(), "korvex-imager-cli");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::istringstream in(typed);
    std::ostringstream out, err;
    int status = runCli(static_cast<int>(argv.size()), argv.data(), env, in, out, err);
    return {status, out.str(), err.str()};
}

TEST(Cli, RefusesBeforeWriting) {
    KVI_REQUIRE_ROOT();
    testing::TempDir dir;
    std::string backing = dir.file("drive");
    testing::writeFile(backing, std::string(4 << 20, '\x11'));
    testing::LoopDevice loop(backing);
    std::string image = dir.file("image.img");
    testing::writeFile(image, std::string(1 << 20, '\x22'));

    // The writer must never be reached: point the client at nothing runnable.
    std::string name = loop.name();
    WriterClient::Environment env{[name](const std::vector<std::string>& paths) {
                                      testing::LoopAsUsbFacts facts(name);
                                      return DiskInventory::list(paths, facts);
                                  },
                                  dir.file("no-writer")};

    CliRun listed = cli({"list"}, env);
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("sdkv\t"), std::string::npos) << listed.out;

    CliRun missing =
        cli({"write", dir.file("absent.img"), "--drive", "sdkv", "--confirm", "sdkv"}, env);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Cannot open the image file."), std::string::npos) << missing.err;

    CliRun notCandidate = cli({"write", image, "--drive", "sdb", "--confirm", "sdb"}, env);
    EXPECT_EQ(notCandidate.status, 1);
    EXPECT_NE(notCandidate.err.find("The selected drive changed, is protected or was "
                                    "disconnected. Select it again."),
              std::string::npos);

    const std::string cancelled =
        "Cancelled. If writing had started, recreate the USB before using it.";
    for (const char* typed : {"SDKV", "sdkv ", "", "sdk"}) {
        CliRun r = cli({"write", image, "--drive", "sdkv"}, env, std::string(typed) + "\n");
        EXPECT_EQ(r.status, 1) << typed;
        EXPECT_NE(r.err.find("Type the device identifier sdkv to confirm."), std::string::npos);
        EXPECT_NE(r.err.find(cancelled), std::string::npos) << typed << ": " << r.err;
    }
    CliRun scripted = cli({"write", image, "--drive", "sdkv", "--confirm", "sdkV"}, env);
    EXPECT_EQ(scripted.status, 1);
    EXPECT_NE(scripted.err.find(cancelled), std::string::npos);

    CliRun usage = cli({"write", image}, env);
    EXPECT_EQ(usage.status, 2);

    EXPECT_EQ(testing::readFile(loop.path()), std::string(4 << 20, '\x11'));
}

TEST(Cli, InspectPrintsTheFacts) {
    testing::TempDir dir;
    std::string image = dir.file("image.img");
    testing::writeFile(image, std::string(1024, '\0'));
    CliRun r = cli({"inspect", image}, WriterClient::Environment{});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("expanded\t1024\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef"),
              std::string::npos);

    CliRun wrongKind = cli({"inspect", dir.file("notes.txt")}, WriterClient::Environment{});
    EXPECT_EQ(wrongKind.status, 1);
    EXPECT_NE(wrongKind.err.find("Choose an IMG, BIN, hybrid ISO, ZIP, XZ or GZip image."),
              std::string::npos);
}

}  // namespace
}  // namespace korvex
