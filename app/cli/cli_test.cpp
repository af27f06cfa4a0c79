// The command line as its users meet it: the real program, run as a real user in a process group
// of its own (as a terminal runs a foreground job), raising itself through `sudo -n` to run the
// test writer against a loop device presented as a USB disk. Signals are real signals, sent as a
// terminal or an administrator sends them. Most tests REQUIRE root.
#include "app/cli/cli.hpp"

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

#include "tests/loop_as_usb_facts.hpp"
#include "tests/test_support.hpp"

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

// Help and version are answers, not errors; a wrong command line is one, and says so.
TEST(Cli, HelpVersionAndUsage) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--help"},
                                          {"-h"},
                                          {"help"},
                                          {"write", "--help"},
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
                                          {"list", "x"}}) {
        Program r(KVI_CLI, args, nullptr);
        EXPECT_EQ(r.finish(), kCliUsage);
        EXPECT_TRUE(r.out.empty());
        EXPECT_TRUE(contains(r.err, "usage:"));
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

    std::unique_ptr<Program> cli(const std::vector<std::string>& args, bool asUser = true) {
        return std::make_unique<Program>(cli_, args, asUser ? user_.get() : nullptr,
                                         std::vector<std::string>{"KVI_TEST_DRIVE=" + loop_->name(),
                                                                  "KORVEX_IMAGER_ELEVATE=sudo"});
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

}  // namespace
}  // namespace korvex
