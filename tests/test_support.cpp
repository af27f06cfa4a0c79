#include "tests/test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/records/imager_error.hpp"
#include "core/base/shell_quote.hpp"

namespace korvex::testing {

bool isRoot() {
    return geteuid() == 0;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvi-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string copyForUsers(const TempDir& tree, const std::string& program,
                         const std::string& subfolder) {
    namespace fs = std::filesystem;
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
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
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
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string readPrefix(const std::string& path, std::size_t size) {
    std::string bytes(size, '\0');
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(static_cast<bool>(fd)) << path;
    EXPECT_EQ(::pread(fd.get(), bytes.data(), size, 0), static_cast<ssize_t>(size)) << path;
    return bytes;
}

bool ChildReport::exitedCleanly() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ChildReport forkReporting(const std::function<int(FILE* report)>& child) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        FILE* out = ::fdopen(fds[1], "w");
        const int code = child(out);
        std::fclose(out);
        ::_exit(code);
    }
    ::close(fds[1]);
    ChildReport report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        report.text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    ::waitpid(pid, &report.status, 0);
    return report;
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

UniqueFd openOrThrow(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd) throw std::runtime_error("cannot open " + path);
    return fd;
}

int openDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

std::string shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) throw std::runtime_error("popen failed: " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (status != 0) throw std::runtime_error("command failed: " + command);
    return out;
}

LoopDevice::LoopDevice(const std::string& backingFile, unsigned sectorSize, bool directIO) {
    std::string cmd = "losetup --find --show --sector-size " + std::to_string(sectorSize) +
                      (directIO ? " --direct-io=on " : " ") + shellQuote(backingFile);
    path_ = shell(cmd);
    while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' ')) path_.pop_back();
    if (path_.rfind("/dev/loop", 0) != 0) throw std::runtime_error("losetup gave " + path_);
}

LoopDevice::~LoopDevice() {
    if (!path_.empty() && std::system(("losetup -d " + path_ + " 2>/dev/null").c_str()) != 0) {
        // Nothing more to do: a busy device is detached by the kernel once released.
    }
}

TestUser::TestUser(const std::string& prefix) {
    name_ = prefix + std::to_string(getpid());
    char home[] = "/tmp/kvi-user-home.XXXXXX";
    if (mkdtemp(home) == nullptr) return;
    home_ = home;
    std::string add = "useradd --no-create-home --home-dir " + home_ +
                      " --shell /usr/sbin/nologin --user-group " + name_ + " 2>/dev/null";
    if (std::system(add.c_str()) != 0) return;
    struct passwd* entry = getpwnam(name_.c_str());
    if (entry == nullptr) return;
    if (chown(home_.c_str(), entry->pw_uid, entry->pw_gid) != 0) return;
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
}

TestUser::~TestUser() {
    if (!sudoers_.empty()) std::filesystem::remove(sudoers_);
    if (std::system(("userdel " + name_ + " 2>/dev/null").c_str()) != 0) {
        // Never created: nothing to remove.
    }
    std::error_code ignored;
    if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
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

std::string LoopDevice::name() const {
    return path_.substr(5);
}

}  // namespace korvex::testing
