#include "tests/fixtures.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/records/imager_error.hpp"

namespace korvex::testing {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

bool isRoot() {
    return geteuid() == 0;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string name = std::string(base && *base ? base : "/tmp") + "/kvi-test.XXXXXX";
    if (mkdtemp(name.data()) == nullptr) fail("mkdtemp");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string copyForUsers(const TempDir& tree, const std::string& program,
                         const std::string& subfolder) {
    const fs::path folder = fs::path(tree.path()) / subfolder;
    fs::create_directories(folder);
    for (fs::path p = folder; p.string().size() >= tree.path().size(); p = p.parent_path())
        fs::permissions(p, fs::perms(0755));
    const fs::path copy = folder / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms(0755));
    return copy;
}

std::set<std::string> channelFoldersOf(unsigned uid) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator("/tmp")) {
        const std::string name = entry.path().filename();
        struct stat st;
        if (name.rfind("kvi-", 0) == 0 && name.size() == 40 &&
            lstat(entry.path().c_str(), &st) == 0 && st.st_uid == uid)
            found.insert(entry.path());
    }
    return found;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string readPrefix(const std::string& path, std::size_t size) {
    std::string bytes(size, '\0');
    const UniqueFd fd = openOrThrow(path, O_RDONLY);
    if (::pread(fd.get(), bytes.data(), size, 0) != static_cast<ssize_t>(size))
        throw std::runtime_error("cannot read " + std::to_string(size) + " bytes of " + path);
    return bytes;
}

void makeSparseFile(const std::string& path, std::uint64_t size) {
    const UniqueFd fd = openOrThrow(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) fail(path);
}

std::string noise(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

UniqueFd openOrThrow(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd) fail("cannot open " + path);
    return fd;
}

int openDescriptorCount() {
    std::error_code failed;
    fs::directory_iterator listing("/proc/self/fd", failed);
    return failed ? -1 : static_cast<int>(std::distance(listing, fs::directory_iterator()));
}

std::string shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) fail("popen " + command);
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    if (pclose(p) != 0) throw std::runtime_error("command failed: " + command);
    return out;
}

std::string jsonEdited(const std::string& document, const std::string& edit) {
    nlohmann::json base = nlohmann::json::parse(document);
    const std::size_t blank = edit.find(' ');
    const nlohmann::json::json_pointer at(edit.substr(0, blank));
    if (blank == std::string::npos)
        base[at.parent_pointer()].erase(at.back());
    else
        base[at] = nlohmann::json::parse(edit.substr(blank + 1));
    return base.dump();
}

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ImagerError& e) {
        return e.isCancelled() ? "cancelled" : e.description();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "(no failure)";
}

LoopDevice::LoopDevice(const std::string& backingFile, unsigned sectorSize, bool directIO) {
    const UniqueFd backing = openOrThrow(backingFile, O_RDWR);
    const UniqueFd control = openOrThrow("/dev/loop-control", O_RDWR);
    // Another program may take the free device between the two calls; then try the next one.
    for (int attempt = 0; attempt < 8 && !fd_; ++attempt) {
        const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) fail("no free loop device");
        const std::string path = "/dev/loop" + std::to_string(number);
        UniqueFd device = openOrThrow(path, O_RDWR);
        loop_config config{};
        config.fd = static_cast<__u32>(backing.get());
        config.block_size = sectorSize;
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (directIO ? LO_FLAGS_DIRECT_IO : 0);
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), backingFile.c_str(),
                     LO_NAME_SIZE - 1);
        if (::ioctl(device.get(), LOOP_CONFIGURE, &config) == 0) {
            fd_ = std::move(device);
            path_ = path;
        } else if (errno != EBUSY) {
            fail(path + ": LOOP_CONFIGURE");
        }
    }
    if (!fd_) throw std::runtime_error("every free loop device was taken meanwhile");
    std::uint64_t bytes = 0;
    // On a throw, closing the descriptor detaches the device.
    if (::ioctl(fd_.get(), BLKGETSIZE64, &bytes) != 0) fail(path_ + ": BLKGETSIZE64");
    size_ = static_cast<std::int64_t>(bytes);
}

LoopDevice::~LoopDevice() {
    // Detaches at once, or, being auto-clearing, at the last close if another process has it open.
    ::ioctl(fd_.get(), LOOP_CLR_FD, 0);
}

bool LoopDevice::directIO() const {
    loop_info64 info{};
    return ::ioctl(fd_.get(), LOOP_GET_STATUS64, &info) == 0 &&
           (info.lo_flags & LO_FLAGS_DIRECT_IO) != 0;
}

TestUser::TestUser(const std::string& prefix) : name_(prefix + std::to_string(getpid())) {
    char home[] = "/tmp/kvi-user-home.XXXXXX";
    if (mkdtemp(home) == nullptr) return;
    home_ = home;
    const std::string add = "useradd --no-create-home --home-dir " + home_ +
                            " --shell /usr/sbin/nologin --user-group " + name_ + " 2>/dev/null";
    const passwd* entry = std::system(add.c_str()) == 0 ? getpwnam(name_.c_str()) : nullptr;
    if (entry == nullptr || chown(home_.c_str(), entry->pw_uid, entry->pw_gid) != 0) return;
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
}

TestUser::~TestUser() {
    std::error_code ignored;
    if (!sudoers_.empty()) fs::remove(sudoers_, ignored);
    // A user that was never created has nothing to remove.
    [[maybe_unused]] const int removed = std::system(("userdel " + name_ + " 2>/dev/null").c_str());
    if (!home_.empty()) fs::remove_all(home_, ignored);
}

bool TestUser::become() const {
    return valid() && setgroups(0, nullptr) == 0 && setresgid(gid_, gid_, gid_) == 0 &&
           setresuid(uid_, uid_, uid_) == 0;
}

void TestUser::allowSudoShell() {
    sudoers_ = "/etc/sudoers.d/" + name_;
    writeFile(sudoers_, name_ + " ALL=(root) NOPASSWD: /bin/sh\n");
    chmod(sudoers_.c_str(), 0440);
}

bool ChildReport::exitedCleanly() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ChildReport forkReporting(const std::function<int(FILE* report)>& child) {
    Pipe pipe = makePipe();
    const pid_t pid = ::fork();
    if (pid == 0) {
        FILE* out = ::fdopen(pipe.writeEnd.release(), "w");
        const int code = child(out);
        std::fclose(out);
        ::_exit(code);
    }
    pipe.writeEnd.reset();
    ChildReport report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe.readEnd.get(), buffer, sizeof buffer)) > 0;)
        report.text.append(buffer, static_cast<std::size_t>(n));
    ::waitpid(pid, &report.status, 0);
    return report;
}

RunningProgram::RunningProgram(const std::string& program, std::vector<std::string> args,
                               const TestUser* user, std::vector<std::string> env) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) fail("pipe");
    env.push_back("PATH=/usr/bin:/bin:/usr/sbin:/sbin");
    args.insert(args.begin(), program);
    // Everything the child needs is built before the fork: after it, only system calls.
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr), envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        setpgid(0, 0);
        dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
        if (user && !user->become()) _exit(90);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(91);
    }
    setpgid(pid_, pid_);  // also here: the caller may signal the group before the child runs
    close(in[0]), close(out[1]), close(err[1]);
    in_ = UniqueFd(in[1]), out_ = UniqueFd(out[0]), err_ = UniqueFd(err[0]);
}

RunningProgram::~RunningProgram() {
    if (status_) return;
    kill(-pid_, SIGKILL);
    try {
        finish();
    } catch (const std::exception&) {  // killed already; nothing left to report to
    }
}

void RunningProgram::type(const std::string& text) {
    if (::write(in_.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("cannot type into the program");
}

bool RunningProgram::waitFor(const std::string& text) {
    while (err.find(text) == std::string::npos)
        if (!readSome(-1)) return false;
    return true;
}

int RunningProgram::finish(bool keepInput) {
    using Clock = std::chrono::steady_clock;
    if (!keepInput) in_.reset();
    bool hung = false;
    for (const auto end = Clock::now() + std::chrono::minutes(2); readSome(100);)
        if (!hung && Clock::now() > end) kill(-pid_, SIGKILL), hung = true;
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (hung) throw std::runtime_error("still running after 2 minutes; standard error:\n" + err);
    return *status_;
}

// Reads what arrives within `timeoutMs`; false once both outputs have ended.
bool RunningProgram::readSome(int timeoutMs) {
    if (!out_ && !err_) return false;
    pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) > 0)
        for (auto [p, fd, text] : {std::tuple{&fds[0], &out_, &out}, {&fds[1], &err_, &err}}) {
            if (!p->revents) continue;
            char buffer[4096];
            const ssize_t n = read(fd->get(), buffer, sizeof buffer);
            if (n <= 0) fd->reset();
            if (n > 0) text->append(buffer, static_cast<std::size_t>(n));
        }
    return out_ || err_;
}

std::vector<pid_t> descendantsOf(pid_t ancestor) {
    std::map<pid_t, pid_t> parent;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        std::string stat;  // "pid (name) S ppid ...": the name may hold ')' too, the last one ends it
        if (pid > 0 && std::getline(std::ifstream(entry.path() / "stat"), stat))
            parent[pid] = std::atoi(stat.c_str() + stat.rfind(')') + 4);
    }
    std::vector<pid_t> found;
    for (auto [pid, ppid] : parent)
        for (pid_t p = ppid; p > 1 && parent.count(p); p = parent[p])
            if (p == ancestor) {
                found.push_back(pid);
                break;
            }
    return found;
}

SudoUser::SudoUser(const std::string& prefix) : TestUser(prefix) {
    if (valid()) allowSudoShell();
}

std::string SudoUser::install(const std::string& program, const std::string& subfolder) const {
    return copyForUsers(programs_, program, subfolder);
}

}  // namespace korvex::testing
