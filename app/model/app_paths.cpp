#include "app/model/app_paths.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "core/records/imager_error.hpp"
#include "core/system/system_facts.hpp"

namespace korvex {
namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    try {
        std::string home = SystemFacts::system().homeDirectoryOf(getuid());
        if (home[0] == '/') return home;
    } catch (const ImagerError&) {
        // This user has no record: no home folder.
    }
    return {};
}

[[noreturn]] void systemFailure(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string AppPaths::applicationFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid by the XDG rules and are ignored.
    if (data != nullptr && data[0] == '/') return std::string(data) + "/" + kFolderName;
    std::string home = homeFolder();
    if (home.empty()) throw ImagerError("Cannot locate the application folder.");
    return home + "/.local/share/" + kFolderName;
}

std::string AppPaths::cache(const PreferenceStore& preferences) {
    std::optional<std::string> chosen = preferences.string(kDownloadDirectoryKey);
    std::string base = chosen && !chosen->empty() ? *chosen : applicationFolder();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/Images";
}

void AppPaths::makePrivate(const std::string& folder) {
    if (folder.empty()) throw ImagerError("Unsafe application directory.");
    // Create missing components one by one, as `mkdir -p` does, each owner-only.
    for (std::size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        std::string prefix = at == std::string::npos ? folder : folder.substr(0, at);
        if (!prefix.empty() && prefix.back() != '/') {
            if (::mkdir(prefix.c_str(), 0700) == 0) {
                // The umask may have taken bits we asked for; never more than owner-only.
                if (::chmod(prefix.c_str(), 0700) != 0) systemFailure("Cannot secure " + prefix);
            } else if (errno != EEXIST) {
                systemFailure("Cannot create " + prefix);
            } else {
                struct stat st {};
                if (::stat(prefix.c_str(), &st) != 0) systemFailure("Cannot examine " + prefix);
                if (!S_ISDIR(st.st_mode)) {
                    errno = ENOTDIR;
                    systemFailure("Cannot create " + folder);
                }
            }
        }
        if (at == std::string::npos) break;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) systemFailure("Cannot examine " + folder);
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode))
        throw ImagerError("Unsafe application directory.");
}

std::string AppPaths::resourceFolder() {
    std::vector<std::string> candidates;
    try {
        const std::string program = SystemFacts::system().executable();
        std::string dir = program.substr(0, program.rfind('/'));
        candidates.push_back(dir + "/resources");
        // The program's path is canonical, so its folder's parent is the prefix itself.
        candidates.push_back(dir.substr(0, dir.rfind('/')) + "/share/korvex-imager");
    } catch (const std::system_error&) {
        // Where this program lives is unknown: only the source tree can hold the resources.
    }
#ifdef KVI_SOURCE_RESOURCES
    candidates.push_back(KVI_SOURCE_RESOURCES);
#endif
    for (const std::string& folder : candidates)
        if (isFile(folder + "/catalogue-config.json")) return folder;
    throw ImagerError("Cannot locate the application resources.");
}

}  // namespace korvex
