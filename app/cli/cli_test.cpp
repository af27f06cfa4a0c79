// The real command line in a process group of its own, as a terminal's job; CliAsUser (root) runs
// it as a real user raising the test writer through `sudo -n` onto a loop device, real signals.
#include "app/cli/cli.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "app/catalogue/recommendation.hpp"
#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "tests/https_test_server.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"
#include "tools/catalogue_signing.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;
using Program = testing::RunningProgram;
using Args = std::vector<std::string>;

const std::string kCancelled = kWriteCancelled;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);  // from the start when there is one line
}

// A signed catalogue on the test server, and resources and CA to reach it; one per process.
struct CatalogueWorld {
    static CatalogueWorld& get() {
        static CatalogueWorld world;
        return world;
    }

    CatalogueWorld() {
        chmod(dir.path().c_str(), 0755);
        fs::copy_file(server.caFile(), ca);
        chmod(ca.c_str(), 0644);
        json images = json::array();
        for (const std::string id : {"tower", "retired", "other-bytes"}) {
            // clang-format off
            json i = {{"id", id}, {"name", "Korvex 20"}, {"version", "20.1"}, {"product", "tower"},
                      {"releaseDate", "2026-10-20"}, {"compression", "none"},
                      {"downloadUrl", server.url(id == "other-bytes" ? "/other.img" : "/tower.img")},
                      {"compressedSize", bytes.size()}, {"expandedSize", bytes.size()},
                      {"sha256", ImageIO::digest(bytes)}, {"architecture", "x86_64"}};
            // clang-format on
            if (id == "tower") i["board"] = "amd64-korvex_iris";
            if (id == "retired") i["retired"] = true;
            images.push_back(i);
        }
        auto catalogue = [](const char* version, const char* date, json list) {
            // clang-format off
            return json{{"schemaVersion", 1}, {"catalogueVersion", version}, {"generatedAt", date},
                        {"images", std::move(list)}, {"rules", json::array()}};
            // clang-format on
        };
        shipped = catalogue("shipped", "2026-01-01T00:00:00Z", json::array({images[0]}));
        fresh = catalogue("fresh", "2026-06-01T00:00:00Z", images);
        server.route("/catalogue.json",
                     [this](const testing::HttpRequest&, testing::HttpsConnection& c) {
                         c.respond(200, {}, signing::envelope(fresh.dump(), "test-2026", key));
                     });
        server.serveFile("/tower.img", bytes);
        server.serveFile("/other.img", testing::noise(bytes.size(), 6));
        good = resources("good", server.url("/catalogue.json"));
    }

    // Resources naming `url`, the shipped catalogue signed by the test key (another if `forged`).
    std::string resources(const std::string& name, const std::string& url, bool forged = false) {
        const std::string folder = dir.file(name);
        fs::create_directory(folder);
        chmod(folder.c_str(), 0755);
        json config = {{"url", url}, {"publicKeys", {{"test-2026", key.publicPem()}}}};
        testing::writeFile(folder + "/catalogue-config.json", config.dump());
        testing::writeFile(folder + "/catalogue-bundled.json",
                           signing::envelope(shipped.dump(), "test-2026", forged ? other : key));
        fs::copy_file(KVI_SOURCE_RESOURCES "/processors.tsv", folder + "/processors.tsv");
        return folder;
    }

    Args variables(const std::string& resources, const std::string& home) const {
        return {"KVI_TEST_RESOURCES=" + resources, "KVI_TEST_CA=" + ca, "XDG_DATA_HOME=" + home};
    }

    TempDir dir;
    signing::SigningKey key = signing::SigningKey::generate();
    signing::SigningKey other = signing::SigningKey::generate();
    const std::string ca = dir.file("ca.pem");
    testing::HttpsTestServer server;
    const std::string bytes = testing::noise(3 << 20, 5);  // every image's file but other-bytes'
    json shipped, fresh;                                   // the two catalogues
    std::string good;                                      // resources of the live catalogue
};

// A --json run's lines of `type`, after checking that each line is a JSON object and the last the
// outcome with exit status `status`.
std::vector<json> jsonLines(const std::string& out, int status, const std::string& type) {
    std::vector<json> lines, found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
        if (lines.back().is_object() && lines.back().value("type", "") == type)
            found.push_back(lines.back());
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty() && lines.back().is_object()) {
        EXPECT_EQ(lines.back().value("type", ""), "outcome") << out;
        EXPECT_EQ(lines.back().value("exitStatus", -1), status) << out;
    }
    return found;
}

// Catches a wrong command line not refused in one line, or a write with two drives taken.
TEST(Cli, RefusesAWrongCommandLine) {
    // clang-format off
    for (const Args& args : {Args{}, {"write", "x.img"}, {"write", "x.img", "--drive"},
                             {"write", "x.img", "--drive", "sdb", "--drive", "sdc"}, {"inspect"},
                             {"list", "x"}, {"help", "nothing"}, {"download"},
                             {"catalogue", "--product", "laptops"},
                             {"recommend", "--graphics", "intel"}}) {
        // clang-format on
        Program r(KVI_CLI, args);
        EXPECT_EQ(r.finish(), kCliUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(contains(r.err, "try 'korvex-imager-cli --help'")) << r.err;
    }
}

// Catches refusing a link the write follows, and an abort on a path a request cannot carry.
TEST(Cli, InspectResolvesLinksAndRefusesWhatARequestCannotCarry) {
    TempDir dir;
    testing::writeFile(dir.file("image.img"), std::string(1024, '\0'));
    fs::create_symlink(dir.file("image.img"), dir.file("link.img"));
    Program r(KVI_CLI, {"inspect", dir.file("link.img")});
    EXPECT_EQ(r.finish(), kCliDone) << r.err;
    EXPECT_TRUE(contains(r.out, "expanded\t1024\n")) << r.out;
    EXPECT_TRUE(contains(r.out, ImageIO::digest(std::string(1024, '\0'))));

    testing::writeFile(dir.file("caf\xe9.img"), std::string(1024, '\0'));
    Program bad(KVI_CLI, {"inspect", dir.file("caf\xe9.img")});
    EXPECT_EQ(bad.finish(), kCliFailed);
    EXPECT_EQ(bad.err, std::string(WriterClient::kPathNotUtf8) + "\n");
}

// Catches unproved bytes, a retired image offered, success on a catalogue that failed to load; an
// unreachable server leaves the shipped catalogue. A good download is the catalogue write's.
TEST(CliCatalogue, DownloadsOnlyWhatTheCatalogueVouchesFor) {
    CatalogueWorld& world = CatalogueWorld::get();
    TempDir home;
    const std::string forged = world.resources("forged", world.server.url("/catalogue.json"), true);
    const std::string offline = world.resources("offline", "https://127.0.0.1:1/catalogue.json");
    const std::string unavailable = reasonText("catalogue", false);
    struct Case {
        Args args;
        std::string resources;
        int status;
        std::string text;  // the last line of standard error
    } cases[] = {
        // clang-format off
        {{"download", "other-bytes"}, world.good, kCliFailed,
         "Downloaded image checksum is invalid. Remove the partial download and retry."},
        {{"download", "retired"}, world.good, kCliFailed, "No image selected."},
        {{"download", "tower"}, forged, kCliFailed, unavailable},
        {{"catalogue"}, forged, kCliFailed, unavailable},
        {{"catalogue"}, offline, kCliDone, CatalogueView::note(false)},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + c.resources);
        Args args = c.args;
        args.push_back("--json");
        Program run(KVI_TEST_CLI, args, nullptr, world.variables(c.resources, home.path()));
        const auto outcome = jsonLines(run.out, run.finish(), "outcome");
        EXPECT_EQ(lastLine(run.err), c.text);
        ASSERT_EQ(outcome.size(), 1u);
        EXPECT_EQ(outcome[0]["exitStatus"], c.status);
        if (c.status != kCliDone) {
            EXPECT_EQ(outcome[0]["message"], c.text);
        }
    }
}

class CliAsUser : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::isRoot()) return;
        user_ = std::make_unique<testing::SudoUser>("kviterm");
        cli_ = user_->install(KVI_TEST_CLI, "bin");
        user_->install(KVI_TEST_WRITER, "libexec/korvex-imager");
    }
    static void TearDownTestSuite() { user_.reset(); }

    void SetUp() override {
        KVI_REQUIRE_ROOT();
        ASSERT_TRUE(user_->valid()) << "no test user could be created";
        chmod(dir_.path().c_str(), 0755);
        drive_.emplace(dir_.file("drive"), std::uint64_t{3} << 30, std::vector{user_->uid()});
    }

    // An image of `size` bytes of holes (all zeros), owned by the test user.
    std::string image(const std::string& name, std::uint64_t size) {
        testing::makeSparseFile(dir_.file(name), size);
        EXPECT_EQ(chown(dir_.file(name).c_str(), user_->uid(), user_->gid()), 0);
        return dir_.file(name);
    }

    std::unique_ptr<Program> cli(const Args& args, bool asUser = true, Args env = {}) {
        env.insert(env.end(), {"KVI_TEST_DRIVE=" + loop().name(), "KORVEX_IMAGER_ELEVATE=sudo"});
        return std::make_unique<Program>(cli_, args, asUser ? user_.get() : nullptr, env);
    }

    const testing::LoopDevice& loop() const { return drive_->loop(); }

    static inline std::unique_ptr<testing::SudoUser> user_;
    static inline std::string cli_;
    TempDir dir_;
    std::optional<testing::TestDrive> drive_;
};

// Catches inspecting as root, finding a missing file, bad path or wrong drive only after a 2 GiB
// inspection, a near-miss confirmation taken, a channel folder left, and any write after them.
TEST_F(CliAsUser, RefusesBeforeWriting) {
    const std::string marker = testing::noise(1 << 20, 3);
    {
        const UniqueFd fd = testing::openOrThrow(loop().path(), O_WRONLY);
        ASSERT_EQ(pwrite(fd.get(), marker.data(), marker.size(), 0), ssize_t(marker.size()));
    }
    const std::string small = image("small.img", 1 << 20), big = image("big.img", 2ULL << 30);
    const std::string absent = dir_.file("absent.img"), latin1 = image("caf\xe9.img", 512);
    struct Case {
        Args args;
        bool asUser;
        std::string typed;
        int status;
        std::string text;       // on standard error
        bool inspected = true;  // a progress line shows the image was read
    } cases[] = {
        // clang-format off
        {{"write", absent, "--drive", "sdkv"}, false, "", kCliFailed,
         "as the user who owns the image", false},
        {{"write", absent, "--drive", "sdkv"}, true, "", kCliFailed, "Cannot open the image file.",
         false},
        {{"write", latin1, "--drive", "sdkv"}, true, "", kCliFailed, WriterClient::kPathNotUtf8,
         false},
        {{"write", big, "--drive", "sdb", "--confirm", "sdb"}, true, "", kCliFailed,
         kSelectedDriveChanged, false},
        {{"write", small, "--drive=/dev/sdkv"}, true, "SDKV\n", kCliCancelled, kCancelled},
        {{"write", small, "--drive", "sdkv"}, true, "sdkv \n", kCliCancelled, kCancelled},
        {{"write", small, "--drive", "sdkv"}, true, "", kCliCancelled, kCancelled},
        {{"write", small, "--confirm=sdkV", "--drive", "sdkv"}, true, "", kCliCancelled,
         kCancelled},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2] + " typed " + c.typed);
        auto r = cli(c.args, c.asUser);
        if (!c.typed.empty() && r->waitFor("> ")) r->type(c.typed);
        EXPECT_EQ(r->finish(), c.status) << r->err;
        EXPECT_TRUE(contains(r->err, c.text)) << r->err;
        EXPECT_EQ(contains(r->err, "Checking image"), c.inspected) << r->err;
    }
    EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
    EXPECT_TRUE(testing::readPrefix(loop().path(), marker.size()) == marker) << "written";
}

// Catches a writer killed outright or reached by the terminal's signals, and a launch or channel
// folder left behind, for signals to the group, the command line or the writer.
TEST_F(CliAsUser, SignalsCancelInOrder) {
    const std::string big = image("big.img", 2ULL << 30), writing = "Writing USB drive";
    const Args asked = {"write", big, "--drive", "sdkv"};
    const Args confirmed = {"write", big, "--drive", "sdkv", "--confirm", "sdkv"};
    enum class To { Group, Cli, Writer };
    struct Case {
        const char* what;
        Args args;
        std::string when;  // sent once this shows on standard error
        int signal;
        To to;
        std::string text;
    } cases[] = {
        // clang-format off
        {"Ctrl-C at the prompt", asked, "> ", SIGINT, To::Group, kCancelled},
        {"Ctrl-C while writing", confirmed, writing, SIGINT, To::Group, kCancelled},
        {"hangup while writing", confirmed, writing, SIGHUP, To::Group, kCancelled},
        {"SIGTERM to the command line", confirmed, writing, SIGTERM, To::Cli, kCancelled},
        {"SIGTERM to the writer", confirmed, writing, SIGTERM, To::Writer, kCancelled},
        {"Ctrl-C while inspecting", {"inspect", big}, "Checking image", SIGINT, To::Group,
         "Cancelled."},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = cli(c.args);
        ASSERT_TRUE(r->waitFor(c.when)) << r->err;
        std::optional<pid_t> writer;
        std::string launchFolder;
        for (pid_t pid : testing::descendantsOf(r->pid())) {
            EXPECT_NE(getsid(pid), getsid(r->pid()));  // out of the terminal's reach
            std::error_code ec;
            const std::string exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
            if (exe.rfind("/tmp/korvex-imager.", 0) == 0)
                writer = pid, launchFolder = fs::path(exe).parent_path();
        }
        EXPECT_EQ(writer.has_value(), c.when == writing);
        if (c.to != To::Writer || writer)  // never kill(0): that is this test's own group
            kill(c.to == To::Writer ? *writer : c.to == To::Cli ? r->pid() : -r->pid(), c.signal);
        EXPECT_EQ(r->finish(true), kCliCancelled) << r->err;
        EXPECT_EQ(lastLine(r->err), c.text);
        EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
        if (writer) {
            EXPECT_FALSE(fs::exists(launchFolder)) << launchFolder;
            EXPECT_NE(kill(*writer, 0), 0) << "the writer outlived the command line";
        }
    }
}

// Catches writing an unproved or wrong download, and JSON output broken or not ended by outcome.
TEST_F(CliAsUser, WritesACatalogueImage) {
    CatalogueWorld& world = CatalogueWorld::get();
    const std::string home = dir_.file("home");
    fs::create_directory(home);
    ASSERT_EQ(chown(home.c_str(), user_->uid(), user_->gid()), 0);
    auto r = cli({"write", "tower", "--drive", "sdkv", "--confirm", "sdkv", "--json"}, true,
                 world.variables(world.good, home));
    const int status = r->finish();
    ASSERT_EQ(status, kCliDone) << r->err;
    std::set<std::string> stages;
    for (const json& p : jsonLines(r->out, status, "progress")) stages.insert(p["stage"]);
    for (const char* stage : {"downloading", "writing", "verifying"})
        EXPECT_TRUE(stages.count(stage)) << stage;
    const auto written = jsonLines(r->out, status, "written");
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["drive"], "sdkv");
    EXPECT_TRUE(testing::readPrefix(loop().path(), 1 << 20) == world.bytes.substr(0, 1 << 20));
    EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
}

}  // namespace
}  // namespace korvex
