#include "core/system/launcher.hpp"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace korvex {
namespace {

[[noreturn]] void throwSystemError(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

class SpawnActions {
  public:
    SpawnActions() {
        if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0)
            throwSystemError(rc, "posix_spawn_file_actions_init");
    }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void dup2(int from, int to) {
        if (from < 0) return;
        if (int rc = posix_spawn_file_actions_adddup2(&actions_, from, to); rc != 0)
            throwSystemError(rc, "posix_spawn_file_actions_adddup2");
    }
    void closeFrom(int lowest) {
        if (int rc = posix_spawn_file_actions_addclosefrom_np(&actions_, lowest); rc != 0)
            throwSystemError(rc, "posix_spawn_file_actions_addclosefrom_np");
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
  public:
    explicit SpawnAttributes(bool newSession) {
        if (int rc = posix_spawnattr_init(&attributes_); rc != 0)
            throwSystemError(rc, "posix_spawnattr_init");
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        // A new session also makes the child the leader of a new process group.
        const short flags = static_cast<short>(
            (newSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP) | POSIX_SPAWN_SETSIGMASK |
            POSIX_SPAWN_SETSIGDEF);
        int rc = posix_spawnattr_setflags(&attributes_, flags);
        if (rc == 0) rc = posix_spawnattr_setpgroup(&attributes_, 0);
        if (rc == 0) rc = posix_spawnattr_setsigmask(&attributes_, &none);
        if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes_, &all);
        if (rc != 0) {
            posix_spawnattr_destroy(&attributes_);
            throwSystemError(rc, "posix_spawnattr");
        }
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (const std::string& t : texts) pointers.push_back(const_cast<char*>(t.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

pid_t launchProcess(const std::vector<std::string>& argv, const LaunchOptions& options) {
    if (argv.empty()) throwSystemError(EINVAL, "cannot launch an empty command line");
    std::vector<char*> arguments = pointersTo(argv);
    std::vector<char*> environment;
    if (options.environment) environment = pointersTo(*options.environment);

    SpawnActions actions;
    actions.dup2(options.input, STDIN_FILENO);
    actions.dup2(options.output, STDOUT_FILENO);
    actions.dup2(options.error, STDERR_FILENO);
    actions.closeFrom(STDERR_FILENO + 1);
    SpawnAttributes attributes(options.newSession);
    pid_t pid = -1;
    // glibc reports a failed exec (a missing or non-executable file) here, as an error number.
    const int rc = (options.searchPath ? posix_spawnp : posix_spawn)(
        &pid, arguments[0], actions.get(), attributes.get(), arguments.data(),
        options.environment ? environment.data() : environ);
    if (rc != 0) throwSystemError(rc, "cannot launch " + argv[0]);
    return pid;
}

}  // namespace korvex
