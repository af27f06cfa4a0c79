// The command line as its users meet it: the real program, run as a real user in a process group
// of its own (as a terminal runs a foreground job), raising itself through `sudo -n` to run the
// test writer against a loop device presented as a USB disk. Signals are real signals, sent as a
// terminal or an administrator sends them. Most tests REQUIRE root.
#include "app/cli/cli.hpp"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "app/catalogue/hardware_probe.hpp"
#include "app/catalogue/recommender.hpp"
#include "app/model/catalogue_view.hpp"
#include "tests/https_test_server.hpp"
#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"
#include "tools/catalogue_signing.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using testing::TestUser;

const std::string kCancelled =
    "Cancelled. If writing had started, recreate the USB before using it.";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The last line of `text`, without its line feed.
std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);  // from the start when there is one line
}

// The pids of every descendant of `ancestor`, from /proc.
std::vector<pid_t> descendants(pid_t ancestor) {
    std::map<pid_t, pid_t> parent;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2) parent[pid] = ppid;
    }
    if (proc) closedir(proc);
    std::vector<pid_t> found;
    for (auto [pid, ppid] : parent)
        for (pid_t p = ppid; p > 1 && parent.count(p); p = parent[p])
            if (p == ancestor) {
                found.push_back(pid);
                break;
            }
    return found;
}

// One run of a program, in a process group of its own, as `user` (or as this process's user),
// with a clean environment plus `variables`. Its standard input stays open until finish().
class Program {
  public:
    Program(const std::string& program, const std::vector<std::string>& args, const TestUser* user,
            const std::vector<std::string>& variables = {}) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
            if (user && !user->become()) _exit(90);
            std::vector<std::string> env = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
            env.insert(env.end(), variables.begin(), variables.end());
            std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            for (std::string& e : env) envp.push_back(e.data());
            argv.push_back(nullptr), envp.push_back(nullptr);
            execve(program.c_str(), argv.data(), envp.data());
            _exit(91);
        }
        setpgid(pid_, pid_);
        close(in[0]), close(out[1]), close(err[1]);
        in_ = UniqueFd(in[1]), out_ = UniqueFd(out[0]), err_ = UniqueFd(err[0]);
    }
    ~Program() {
        if (pid_ > 0 && !status_) {
            kill(-pid_, SIGKILL);
            finish();
        }
    }

    pid_t pid() const { return pid_; }

    void type(const std::string& text) {
        ASSERT_EQ(::write(in_.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Reads output until `text` shows on standard error (true) or the program ends (false).
    bool waitFor(const std::string& text) {
        while (!contains(err, text))
            if (!readSome(-1)) return false;
        return true;
    }

    // Closes standard input unless `keepInput`, reads to the end and reaps; fails the test when
    // the program has not ended within `limit` (a hang, not a slow machine: the limit is wide).
    int finish(bool keepInput = false, std::chrono::seconds limit = 120s) {
        if (!keepInput) in_.reset();
        auto end = std::chrono::steady_clock::now() + limit;
        while (readSome(100))
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "still running; standard error so far:\n" << err;
                kill(-pid_, SIGKILL);
                end += 3600s;
            }
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return *status_;
    }

    std::string out, err;

  private:
    // Reads what is there within `timeoutMs`; false once both outputs have ended.
    bool readSome(int timeoutMs) {
        pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
        if (!out_ && !err_) return false;
        poll(fds, 2, timeoutMs);
        for (auto [fd, text] : {std::pair{&out_, &out}, std::pair{&err_, &err}}) {
            if (!*fd) continue;
            pollfd& p = fd == &out_ ? fds[0] : fds[1];
            if (p.revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fd->get(), buffer, sizeof buffer);
            if (n <= 0)
                fd->reset();
            else
                text->append(buffer, static_cast<std::size_t>(n));
        }
        return out_ || err_;
    }

    pid_t pid_ = -1;
    UniqueFd in_, out_, err_;
    std::optional<int> status_;
};

using nlohmann::json;

// A signed catalogue on the test server, and the folders a command line needs to reach it: the
// resources (configuration naming the server, an older shipped catalogue, the processor table),
// the server's CA. One per test process; readable by the test user.
class CatalogueWorld {
  public:
    static CatalogueWorld& get() {
        static CatalogueWorld world;
        return world;
    }

    // A resource folder whose configuration names `url` and whose shipped catalogue is
    // `shipped`, signed by the test key unless `forged`.
    std::string resources(const std::string& name, const std::string& url, const json& shipped,
                          bool forged = false) {
        const std::string folder = dir_.file(name);
        fs::create_directory(folder);
        chmod(folder.c_str(), 0755);
        json config = {{"url", url}, {"publicKeys", {{"test-2026", key_.publicPem()}}}};
        testing::writeFile(folder + "/catalogue-config.json", config.dump());
        std::string bundled = signing::envelope(shipped.dump(), "test-2026", key_);
        if (forged) bundled = signing::envelope(shipped.dump(), "test-2026", other_);
        testing::writeFile(folder + "/catalogue-bundled.json", bundled);
        fs::copy_file(KVI_SOURCE_RESOURCES "/processors.tsv", folder + "/processors.tsv");
        return folder;
    }

    // The variables that point korvex-imager-cli-test at `resources`, this server's CA and the
    // application folder `home`.
    std::vector<std::string> variables(const std::string& resources, const std::string& home) {
        return {"KVI_TEST_RESOURCES=" + resources, "KVI_TEST_CA=" + ca_, "XDG_DATA_HOME=" + home};
    }

    testing::HttpsTestServer server;
    const std::string bytes = testing::noise(3 << 20, 5);  // every image's file
    json shipped, fresh;                                   // the two catalogues
    std::string good;                                      // resources of the live catalogue
    std::atomic<bool> cut_{true};  // the next plain request of /tower.img is cut off

  private:
    CatalogueWorld()
        : key_(signing::SigningKey::generate()), other_(signing::SigningKey::generate()) {
        chmod(dir_.path().c_str(), 0755);
        ca_ = dir_.file("ca.pem");
        fs::copy_file(server.caFile(), ca_);
        chmod(ca_.c_str(), 0644);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
        std::string sha;
        for (unsigned i = 0; i < length; ++i) sha += fmt("%02X", digest[i]);  // either case
        auto image = [&](const std::string& id, const std::string& path, json extra) {
            json i = {{"id", id},
                      {"name", "Korvex 20"},
                      {"version", "20.1"},
                      {"releaseDate", "2026-10-20"},
                      {"downloadUrl", server.url(path)},
                      {"compression", "none"},
                      {"compressedSize", bytes.size()},
                      {"expandedSize", bytes.size()},
                      {"sha256", sha},
                      {"architecture", "x86_64"}};
            i.update(extra);
            return i;
        };
        json images = {
            image("tower", "/tower.img", {{"product", "tower"}, {"board", "amd64-korvex_iris"}}),
            image("plain", "/tower.img", {{"board", "amd64-korvex_apu"}}),
            image("nomad", "/tower.img", {{"product", "nomad"}, {"device", "ThinkPad X13"}}),
            image("pi", "/tower.img", {{"product", "boards"}, {"device", "Raspberry Pi 5"}}),
            image("retired", "/tower.img", {{"product", "tower"}, {"retired", true}}),
            image("other-bytes", "/other.img", {{"product", "tower"}}),
            image("other-size", "/tower.img",
                  {{"product", "tower"}, {"expandedSize", bytes.size() * 2}})};
        auto catalogue = [&](const char* version, const char* date, json list) {
            return json{{"schemaVersion", 1},
                        {"catalogueVersion", version},
                        {"generatedAt", date},
                        {"images", std::move(list)},
                        {"rules", json::array()}};
        };
        shipped = catalogue("shipped", "2026-01-01T00:00:00Z", {images[0], images[3]});
        fresh = catalogue("fresh", "2026-06-01T00:00:00Z", images);
        server.route("/catalogue.json",
                     [this](const testing::HttpRequest&, testing::HttpsConnection& c) {
                         c.respond(200, {}, signing::envelope(fresh.dump(), "test-2026", key_));
                     });
        // The first answer is cut off halfway, as a dropped connection leaves it.
        server.route(
            "/tower.img", [this](const testing::HttpRequest& r, testing::HttpsConnection& c) {
                if (!r.header("Range") && cut_.exchange(false)) {
                    c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bytes.size()) +
                           "\r\n\r\n" + bytes.substr(0, bytes.size() / 2));
                    c.dropConnection();
                    return;
                }
                testing::HttpsTestServer::answerWithRanges(r, c, bytes);
            });
        server.serveFile("/other.img", testing::noise(bytes.size(), 6));
        good = resources("good", server.url("/catalogue.json"), shipped);
    }

    static std::string fmt(const char* format, unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, format, value);
        return text;
    }

    TempDir dir_;
    signing::SigningKey key_, other_;
    std::string ca_;
};

// Standard output of a --json run: every line one JSON object (a strict parse), the last the
// outcome with the run's exit status.
std::vector<json> jsonLines(const std::string& out, int status) {
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        try {
            lines.push_back(json::parse(line));
        } catch (const json::exception& e) {
            ADD_FAILURE() << "not JSON: " << line;
        }
        EXPECT_TRUE(lines.empty() || lines.back().is_object()) << line;
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
        EXPECT_EQ(lines.back().value("type", ""), "outcome") << out;
        EXPECT_EQ(lines.back().value("exitStatus", -1), status) << out;
    }
    return lines;
}

std::vector<json> ofType(const std::vector<json>& lines, const std::string& type) {
    std::vector<json> found;
    for (const json& l : lines)
        if (l.value("type", "") == type) found.push_back(l);
    return found;
}

// Help and version are answers, not errors; a wrong command line is one, and says so.
TEST(Cli, HelpVersionAndUsage) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"},
                                          {"-h"},
                                          {"help"},
                                          {"write", "--help"},
                                          {"help", "recommend"},
                                          {"--version"}}) {
        Program r(KVI_CLI, args, nullptr);
        EXPECT_EQ(r.finish(), kCliDone) << args[0];
        EXPECT_TRUE(r.err.empty()) << r.err;
        EXPECT_FALSE(r.out.empty());
    }
    Program help(KVI_CLI, {"--help"}, nullptr);
    help.finish();
    EXPECT_TRUE(contains(help.out, std::to_string(kCliCancelled) + " cancelled")) << help.out;

    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"write", "x.img"},
                                          {"write", "x.img", "--drive"},
                                          {"write", "x.img", "--drive", "sdb", "--drive", "sdc"},
                                          {"inspect"},
                                          {"list", "x"},
                                          {"help", "nothing"},
                                          {"catalogue", "--product", "laptops"},
                                          {"recommend", "--graphics", "intel"},
                                          {"download"}}) {
        Program r(KVI_CLI, args, nullptr);
        EXPECT_EQ(r.finish(), kCliUsage);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(contains(r.err, "try 'korvex-imager-cli --help'")) << r.err;
    }
}

// Inspection follows a link as the write does, and refuses a path the request cannot carry with
// a text, not an abort.
TEST(Cli, InspectResolvesLinksAndRefusesWhatARequestCannotCarry) {
    TempDir dir;
    std::string image = dir.file("image.img");
    testing::writeFile(image, std::string(1024, '\0'));
    fs::create_symlink(image, dir.file("link.img"));
    Program r(KVI_CLI, {"inspect", dir.file("link.img")}, nullptr);
    EXPECT_EQ(r.finish(), kCliDone) << r.err;
    EXPECT_TRUE(contains(r.out, "expanded\t1024\n")) << r.out;
    EXPECT_TRUE(
        contains(r.out, "5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef"));

    std::string latin1 = dir.file("caf\xe9.img");
    testing::writeFile(latin1, std::string(1024, '\0'));
    Program bad(KVI_CLI, {"inspect", latin1}, nullptr);
    EXPECT_EQ(bad.finish(), kCliFailed);
    EXPECT_EQ(bad.err, std::string(WriterClient::kPathNotUtf8) + "\n");
}

// The catalogue and the recommendation are the model's for the same inputs: the refreshed
// catalogue's active images, filtered as the window filters them, and the recommender's answer
// with the host rule. Catches a command line that shows the shipped list, retired images, its own
// filter or the catalogue's rules for a computer that is not this one.
TEST(CliCatalogue, ShowsWhatTheModelShows) {
    CatalogueWorld& world = CatalogueWorld::get();
    TempDir home;
    const auto variables = world.variables(world.good, home.path());
    const std::optional<Catalogue> fresh = decodeCatalogue(world.fresh.dump());
    for (auto [product, search] : {std::pair<std::string, std::string>{"", ""},
                                   {"boards", ""},
                                   {"nomad", "x13"},
                                   {"tower", "KORVEX"},
                                   {"tower", "nothing like it"}}) {
        std::vector<std::string> args = {"--json", "catalogue"};
        if (!product.empty()) args.insert(args.end(), {"--product", product});
        if (!search.empty()) args.insert(args.end(), {"--search", search});
        Program r(KVI_TEST_CLI, args, nullptr, variables);
        const auto lines = jsonLines(r.out, r.finish());
        std::vector<std::string> shown, expected;
        for (const json& i : ofType(lines, "image")) shown.push_back(i["id"]);
        for (const ImageVariant& i :
             CatalogueView::images(fresh, product.empty() ? "tower" : product, search))
            expected.push_back(i.id);
        EXPECT_EQ(shown, expected) << product << " " << search;
        ASSERT_EQ(ofType(lines, "catalogue").size(), 1u);
        EXPECT_EQ(ofType(lines, "catalogue")[0]["version"], "fresh");
        EXPECT_EQ(ofType(lines, "catalogue")[0]["note"], CatalogueView::note(false));
    }

    const ProcessorInventory inventory = ProcessorInventory::load(world.good);
    const DeviceProfile probe = HardwareProbe::detect();
    struct Case {
        std::vector<std::string> args;
        std::string cpu, graphics;
        bool thisComputer, chinese;
    } cases[] = {
        {{"--cpu", "Intel Core i5-1135G7", "--graphics", "integrated"},
         "Intel Core i5-1135G7",
         "integrated",
         false,
         false},
        {{"--chinese", "--cpu=AMD Ryzen 7 5800U"}, "AMD Ryzen 7 5800U", "unknown", false, true},
        {{}, probe.cpu, CatalogueView::guessGraphics(probe), true, false},
        {{"--graphics", "nvidia"}, probe.cpu, "nvidia", true, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"recommend", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Program r(KVI_TEST_CLI, args, nullptr, variables);
        const auto lines = jsonLines(r.out, r.finish());
        const Recommendation expected =
            Recommender::recommend(c.cpu, c.graphics, fresh, inventory,
                                   CatalogueView::host(!c.thisComputer, c.cpu, probe));
        ASSERT_EQ(ofType(lines, "recommendation").size(), 1u) << r.out;
        const json got = ofType(lines, "recommendation")[0];
        EXPECT_EQ(got["reason"], expected.reason) << c.cpu;
        EXPECT_EQ(got["reasonText"], reasonText(expected.reason, c.chinese));
        EXPECT_EQ(got["image"].is_null() ? "" : got["image"]["id"].get<std::string>(),
                  expected.image ? expected.image->id : "");
    }
}

// A download survives a cut, and what the catalogue does not vouch for, is not listed, or cannot
// be loaded is refused with the system's text and a failing status. Catches a restart from
// nothing, bytes passed on without the entry's proof, a retired image still offered, a success
// reported for a catalogue that failed to load.
TEST(CliCatalogue, DownloadsOnlyWhatTheCatalogueVouchesFor) {
    CatalogueWorld& world = CatalogueWorld::get();
    TempDir home;
    world.cut_ = true;
    const std::size_t before = world.server.requests("/tower.img").size();
    Program r(KVI_TEST_CLI, {"download", "tower", "--json"}, nullptr,
              world.variables(world.good, home.path()));
    auto lines = jsonLines(r.out, r.finish());
    ASSERT_EQ(ofType(lines, "download").size(), 1u) << r.err;
    const std::string path = ofType(lines, "download")[0]["path"];
    EXPECT_EQ(path.rfind(home.path() + "/Korvex Imager/Images/", 0), 0u) << path;
    EXPECT_TRUE(testing::readFile(path) == world.bytes);
    const auto requests = world.server.requests("/tower.img");
    ASSERT_EQ(requests.size(), before + 2);
    EXPECT_EQ(requests.back().header("Range").value_or(""),
              "bytes=" + std::to_string(world.bytes.size() / 2) + "-");
    EXPECT_FALSE(ofType(lines, "progress").empty());

    const std::string forged =
        world.resources("forged", world.server.url("/catalogue.json"), world.shipped, true);
    const std::string offline =
        world.resources("offline", "https://127.0.0.1:1/catalogue.json", world.shipped);
    const std::string unavailable = "The catalogue is unavailable. Retry or choose a local image.";
    struct Case {
        std::vector<std::string> args;
        std::string resources;
        int status;
        std::string text;  // the last line of standard error
    } cases[] = {
        {{"download", "other-bytes"},
         world.good,
         kCliFailed,
         "Downloaded image checksum is invalid. Remove the partial download and retry."},
        {{"download", "other-size"},
         world.good,
         kCliFailed,
         "Image content does not match the signed catalogue."},
        {{"download", "no-such-image"}, world.good, kCliFailed, "No image selected."},
        {{"download", "retired"}, world.good, kCliFailed, "No image selected."},
        {{"download", "tower"}, forged, kCliFailed, unavailable},
        {{"catalogue"}, forged, kCliFailed, unavailable},
        {{"--chinese", "catalogue"}, forged, kCliFailed, reasonText("catalogue", true)},
        // An unreachable server leaves the shipped catalogue, as in the window.
        {{"catalogue"}, offline, kCliDone, "Internal test catalogue"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        Program run(KVI_TEST_CLI, args, nullptr, world.variables(c.resources, home.path()));
        lines = jsonLines(run.out, run.finish());
        EXPECT_EQ(lastLine(run.err), c.text) << c.args.back();
        EXPECT_EQ(lines.back()["exitStatus"], c.status) << c.args.back();
        if (c.status != kCliDone) {
            EXPECT_EQ(lines.back()["message"], c.text);
        }
    }
}

class CliAsUser : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::isRoot()) return;
        user_ = std::make_unique<TestUser>("kviterm");
        if (user_->valid()) user_->allowSudoShell();
        programs_ = std::make_unique<TempDir>();
        cli_ = testing::copyForUsers(*programs_, KVI_TEST_CLI, "bin");
        testing::copyForUsers(*programs_, KVI_TEST_WRITER, "libexec/korvex-imager");
    }
    static void TearDownTestSuite() {
        user_.reset();
        programs_.reset();
    }

    void SetUp() override {
        KVI_REQUIRE_ROOT();
        ASSERT_TRUE(user_->valid()) << "no test user could be created";
        chmod(dir_.path().c_str(), 0755);
        std::string backing = dir_.file("drive");
        testing::writeFile(backing, "");
        ASSERT_EQ(truncate(backing.c_str(), off_t{3} << 30), 0);
        loop_ = std::make_unique<testing::LoopDevice>(backing);
        drive_ = testing::testDriveFile(user_->uid());
        testing::writeFile(drive_, loop_->name() + "\n");
    }
    void TearDown() override {
        if (!drive_.empty()) fs::remove(drive_);
        loop_.reset();
    }

    // An image of `size` bytes of holes (all zeros), owned by the test user.
    std::string image(const std::string& name, off_t size) {
        std::string path = dir_.file(name);
        testing::writeFile(path, "");
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        EXPECT_EQ(chown(path.c_str(), user_->uid(), user_->gid()), 0);
        return path;
    }

    std::unique_ptr<Program> cli(const std::vector<std::string>& args, bool asUser = true,
                                 std::vector<std::string> variables = {}) {
        variables.insert(variables.end(),
                         {"KVI_TEST_DRIVE=" + loop_->name(), "KORVEX_IMAGER_ELEVATE=sudo"});
        return std::make_unique<Program>(cli_, args, asUser ? user_.get() : nullptr, variables);
    }

    std::string driveStart() {
        std::string bytes(1 << 20, '\0');
        int fd = open(loop_->path().c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        close(fd);
        return bytes;
    }

    static std::unique_ptr<TestUser> user_;
    static std::unique_ptr<TempDir> programs_;
    static std::string cli_;
    TempDir dir_;
    std::unique_ptr<testing::LoopDevice> loop_;
    std::string drive_;
};

std::unique_ptr<TestUser> CliAsUser::user_;
std::unique_ptr<TempDir> CliAsUser::programs_;
std::string CliAsUser::cli_;

// Everything that must be refused is refused before the writer starts, the cheap checks before
// the inspection, and the drive keeps what it held.
TEST_F(CliAsUser, RefusesBeforeWriting) {
    const std::string marker = testing::noise(1 << 20, 3);
    int fd = open(loop_->path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, marker.data(), marker.size(), 0), static_cast<ssize_t>(marker.size()));
    close(fd);
    std::string small = image("small.img", 1 << 20);
    std::string big = image("big.img", off_t{2} << 30);
    const std::string changed =
        "The selected drive changed, is protected or was disconnected. Select it again.";
    struct Case {
        std::vector<std::string> args;
        bool asUser;
        std::string typed;
        int status;
        std::string text;       // on standard error
        bool inspected = true;  // a progress line shows the image was read
    } cases[] = {
        // As root the run stops at once, before even looking for the file.
        {{"write", dir_.file("absent.img"), "--drive", "sdkv"},
         false,
         "",
         kCliFailed,
         "as the user who owns the image",
         false},
        {{"write", dir_.file("absent.img"), "--drive", "sdkv"},
         true,
         "",
         kCliFailed,
         "Cannot open the image file.",
         false},
        {{"write", dir_.file("caf\xe9.img"), "--drive", "sdkv"},
         true,
         "",
         kCliFailed,
         WriterClient::kPathNotUtf8,
         false},
        // A wrong drive is named before a 2 GiB image is read.
        {{"write", big, "--drive", "sdb", "--confirm", "sdb"},
         true,
         "",
         kCliFailed,
         changed,
         false},
        {{"write", small, "--drive=/dev/sdkv"}, true, "SDKV\n", kCliCancelled, kCancelled},
        {{"write", small, "--drive", "sdkv"}, true, "sdkv \n", kCliCancelled, kCancelled},
        {{"write", small, "--drive", "sdkv"}, true, "", kCliCancelled, kCancelled},
        {{"write", small, "--confirm=sdkV", "--drive", "sdkv"},
         true,
         "",
         kCliCancelled,
         kCancelled},
    };
    testing::writeFile(dir_.file("caf\xe9.img"), std::string(512, '\0'));
    ASSERT_EQ(chown(dir_.file("caf\xe9.img").c_str(), user_->uid(), user_->gid()), 0);
    for (const Case& c : cases) {
        auto r = cli(c.args, c.asUser);
        if (!c.typed.empty() && r->waitFor("> ")) r->type(c.typed);
        int status = r->finish();
        EXPECT_EQ(status, c.status) << c.args[1] << "\n" << r->err;
        EXPECT_TRUE(contains(r->err, c.text)) << r->err;
        EXPECT_EQ(contains(r->err, "Checking image"), c.inspected) << r->err;
    }
    EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
    EXPECT_TRUE(driveStart() == marker) << "the drive was written";
}

// A signal from the terminal (to the whole foreground group), to the command line alone, or to
// the writer itself cancels in order: the writer stops and reports, the command line waits for it,
// says so and exits with the cancelled status, and nothing of the write is left behind.
TEST_F(CliAsUser, SignalsCancelInOrder) {
    std::string big = image("big.img", off_t{2} << 30);
    enum class To { Group, Cli, Writer };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string when;  // sent once this shows on standard error
        int signal;
        To to;
        std::string text;
    } cases[] = {
        {"Ctrl-C at the prompt",
         {"write", big, "--drive", "sdkv"},
         "> ",
         SIGINT,
         To::Group,
         kCancelled},
        {"Ctrl-C while writing",
         {"write", big, "--drive", "sdkv", "--confirm", "sdkv"},
         "Writing USB drive",
         SIGINT,
         To::Group,
         kCancelled},
        {"hangup while writing",
         {"write", big, "--drive", "sdkv", "--confirm", "sdkv"},
         "Writing USB drive",
         SIGHUP,
         To::Group,
         kCancelled},
        {"SIGTERM to the command line",
         {"write", big, "--drive", "sdkv", "--confirm", "sdkv"},
         "Writing USB drive",
         SIGTERM,
         To::Cli,
         kCancelled},
        {"SIGTERM to the writer",
         {"write", big, "--drive", "sdkv", "--confirm", "sdkv"},
         "Writing USB drive",
         SIGTERM,
         To::Writer,
         kCancelled},
        {"Ctrl-C while inspecting",
         {"inspect", big},
         "Inspecting image",
         SIGINT,
         To::Group,
         "Cancelled."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = cli(c.args);
        ASSERT_TRUE(r->waitFor(c.when)) << r->err;
        // The writer's private copy, found through the process tree: this run's own.
        std::optional<pid_t> writer;
        std::string launchFolder;
        for (pid_t pid : descendants(r->pid())) {
            // Out of the terminal's reach: its signals and its hangup go to the command line.
            EXPECT_NE(getsid(pid), getsid(r->pid()));
            std::error_code ec;
            std::string exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
            if (exe.rfind("/tmp/korvex-imager.", 0) == 0)
                writer = pid, launchFolder = fs::path(exe).parent_path();
        }
        EXPECT_EQ(writer.has_value(), c.when == "Writing USB drive");
        if (c.to == To::Writer && writer) kill(*writer, c.signal);
        if (c.to == To::Cli) kill(r->pid(), c.signal);
        if (c.to == To::Group) kill(-r->pid(), c.signal);
        EXPECT_EQ(r->finish(true), kCliCancelled) << r->err;
        EXPECT_EQ(lastLine(r->err), c.text);
        EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
        if (writer) {
            EXPECT_FALSE(fs::exists(launchFolder)) << launchFolder;
            EXPECT_NE(kill(*writer, 0), 0) << "the writer outlived the command line";
        }
    }
}

// A catalogue image goes from the server through the cache to a drive that is read back, and a
// script sees each step as JSON. Catches a write of an unproved or wrong file, a stream that is
// not JSON throughout, and an outcome that does not end it.
TEST_F(CliAsUser, WritesACatalogueImage) {
    CatalogueWorld& world = CatalogueWorld::get();
    world.cut_ = false;
    const std::string home = dir_.file("home");
    fs::create_directory(home);
    ASSERT_EQ(chown(home.c_str(), user_->uid(), user_->gid()), 0);
    auto r = cli({"write", "tower", "--drive", "sdkv", "--confirm", "sdkv", "--json"}, true,
                 world.variables(world.good, home));
    const int status = r->finish();
    const auto lines = jsonLines(r->out, status);
    ASSERT_EQ(status, kCliDone) << r->err;
    std::set<std::string> stages;
    for (const json& p : ofType(lines, "progress")) stages.insert(p["stage"]);
    for (const char* stage : {"downloading", "writing", "verifying"})
        EXPECT_TRUE(stages.count(stage)) << stage;
    ASSERT_EQ(ofType(lines, "written").size(), 1u);
    EXPECT_EQ(ofType(lines, "written")[0]["drive"], "sdkv");
    EXPECT_TRUE(driveStart().substr(0, 1 << 20) == world.bytes.substr(0, 1 << 20));
    EXPECT_TRUE(testing::channelFoldersOf(user_->uid()).empty());
}

}  // namespace
}  // namespace korvex
