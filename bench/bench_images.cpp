#include "bench/bench_images.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <vector>

#include "bench/child_process.hpp"

namespace korvex::bench {
namespace fs = std::filesystem;
namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kRawSize = 512 * kMiB;
constexpr std::int64_t kLargeSize = 4096 * kMiB;
constexpr std::int64_t kBlock = 4096;

// What the staged tree may hold, in file-system blocks: enough to fill the 512 MiB image to
// about 85% after ext4's own tables and journal. A single top-level folder is capped so that
// the data mixes libraries, programs, text and compressed documentation.
constexpr std::int64_t kLibBudget = 260 * kMiB;
constexpr std::int64_t kShareBudget = 170 * kMiB;
constexpr std::int64_t kFolderCap = 24 * kMiB;
constexpr std::int64_t kLargestFile = 16 * kMiB;
constexpr int kMostFiles = 24000;  // ext4 gives a 512 MiB file system 32,768 inodes

struct Stage {
    fs::path root;
    std::int64_t bytes = 0;  // staged file bytes, rounded up to whole blocks
    int files = 0;
};

std::vector<fs::directory_entry> sortedEntries(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path() < b.path(); });
    return entries;
}

// Copies the files under `from` into the stage in a fixed order until `limit` bytes are staged.
// Unreadable files and special files are passed over; symbolic links are copied as links.
void copyTree(const fs::path& from, const fs::path& to, std::int64_t limit, Stage& stage) {
    std::error_code error;
    for (const fs::directory_entry& entry : sortedEntries(from)) {
        if (stage.bytes >= limit || stage.files >= kMostFiles) return;
        fs::file_status status = entry.symlink_status(error);
        if (error) continue;
        fs::path target = to / entry.path().filename();
        if (fs::is_symlink(status)) {
            fs::copy_symlink(entry.path(), target, error);
        } else if (fs::is_directory(status)) {
            fs::create_directories(target, error);
            if (!error) copyTree(entry.path(), target, limit, stage);
        } else if (fs::is_regular_file(status)) {
            std::int64_t size = static_cast<std::int64_t>(entry.file_size(error));
            if (error || size > kLargestFile) continue;
            if (!fs::copy_file(entry.path(), target, error) || error) continue;
            stage.bytes += (size + kBlock - 1) / kBlock * kBlock;
            stage.files += 1;
        }
    }
}

// Fills a fresh stage from /usr/lib and /usr/share, each top-level folder up to kFolderCap.
Stage makeStage(const fs::path& root, double scale) {
    fs::remove_all(root);
    Stage stage{root};
    struct Source {
        const char* path;
        std::int64_t budget;
    };
    for (const Source& source :
         {Source{"/usr/lib", kLibBudget}, Source{"/usr/share", kShareBudget}}) {
        std::int64_t limit = stage.bytes + static_cast<std::int64_t>(source.budget * scale);
        fs::path into = root / fs::path(source.path).relative_path();
        fs::create_directories(into);
        for (const fs::directory_entry& entry : sortedEntries(source.path)) {
            if (stage.bytes >= limit) break;
            std::error_code error;
            fs::file_status status = entry.symlink_status(error);
            if (error || !fs::is_directory(status)) continue;
            fs::path target = into / entry.path().filename();
            fs::create_directories(target, error);
            if (!error)
                copyTree(entry.path(), target, std::min(limit, stage.bytes + kFolderCap), stage);
        }
    }
    return stage;
}

void createSparse(const std::string& path, std::int64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw BenchError(path + ": " + std::strerror(errno));
    int result = ::ftruncate(fd, size);
    int saved = errno;
    ::close(fd);
    if (result != 0) throw BenchError(path + ": ftruncate: " + std::strerror(saved));
}

// "Block count" and "Free blocks" of an ext4 image, as a percentage used.
int percentUsed(const std::string& image) {
    std::istringstream lines(run({"dumpe2fs", "-h", image}).out);
    std::string line;
    double total = 0, free = 0;
    while (std::getline(lines, line)) {
        auto value = [&](const char* key) { return std::stod(line.substr(std::strlen(key))); };
        if (line.rfind("Block count:", 0) == 0) total = value("Block count:");
        if (line.rfind("Free blocks:", 0) == 0) free = value("Free blocks:");
    }
    return total > 0 ? static_cast<int>(100 * (total - free) / total + 0.5) : 0;
}

void makeFileSystem(const std::string& image, std::int64_t size, const Stage& stage) {
    std::string part = image + ".part";
    createSparse(part, size);
    run({"mkfs.ext4", "-q", "-F", "-m", "0", "-b", "4096", "-L", "kvi-bench", "-d",
         stage.root.string(), part});
    fs::rename(part, image);
}

// Runs `argv` with its standard output into `output`, under a temporary name until complete.
void makeFrom(const std::vector<std::string>& argv, const std::string& output) {
    std::string part = output + ".part";
    run(argv, part);
    fs::rename(part, output);
}

}  // namespace

BenchImages prepareImages(const std::string& workdir, std::ostream& log) {
    fs::create_directories(workdir);
    const fs::path dir = fs::absolute(workdir);
    BenchImages images{(dir / "disk-512m.img").string(), (dir / "disk-512m.img.gz").string(),
                       (dir / "disk-512m.img.xz").string(), (dir / "disk-512m.zip").string(),
                       (dir / "disk-512m.img.zst").string(),
                       (dir / "disk-4g.img").string()};
    const fs::path stageRoot = dir / "stage";

    Stage stage;
    auto needStage = [&](double scale) {
        if (stage.root.empty() || scale < 1.0) {
            log << "  staging files from /usr/lib and /usr/share ..." << std::flush;
            stage = makeStage(stageRoot, scale);
            log << " " << stage.files << " files, " << stage.bytes / kMiB << " MiB\n";
        }
    };

    if (!fs::exists(images.raw)) {
        // A tree that does not fit (other machines, other files) is staged again, smaller.
        for (const std::string& derived : {images.gz, images.xz, images.zip, images.zst})
            fs::remove(derived);
        needStage(1.0);
        for (double scale = 1.0;; scale *= 0.85) {
            try {
                log << "  mkfs.ext4 -d: " << images.raw << "\n";
                makeFileSystem(images.raw, kRawSize, stage);
                break;
            } catch (const BenchError& failure) {
                if (scale < 0.5) throw;
                log << "  did not fit, staging less: " << failure.what() << "\n";
                needStage(scale * 0.85);
            }
        }
        log << "  " << images.raw << ": " << percentUsed(images.raw) << "% of its blocks used\n";
    }
    if (!fs::exists(images.gz)) {
        log << "  gzip -6: " << images.gz << "\n";
        makeFrom({"gzip", "-c", "-6", images.raw}, images.gz);
    }
    if (!fs::exists(images.xz)) {
        log << "  xz -6 -T2: " << images.xz << "\n";
        makeFrom({"xz", "-c", "-6", "-T2", images.raw}, images.xz);
    }
    if (!fs::exists(images.zst)) {
        log << "  zstd -3 -T2: " << images.zst << "\n";
        makeFrom({"zstd", "-q", "-c", "-3", "-T2", images.raw}, images.zst);
    }
    if (!fs::exists(images.zip)) {
        log << "  zip -6: " << images.zip << "\n";
        std::string part = (dir / "disk-512m.part.zip").string();
        fs::remove(part);
        run({"zip", "-q", "-j", "-6", part, images.raw});
        fs::rename(part, images.zip);
    }
    if (!fs::exists(images.large)) {
        needStage(1.0);
        log << "  mkfs.ext4 -d: " << images.large << " (sparse beyond its files)\n";
        makeFileSystem(images.large, kLargeSize, stage);
    }
    fs::remove_all(stageRoot);
    return images;
}

void warmPageCache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw BenchError(path + ": " + std::strerror(errno));
    std::vector<char> buffer(kMiB);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
    }
    ::close(fd);
    if (n < 0) throw BenchError(path + ": read failed");
}

std::int64_t fileSize(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw BenchError(path + ": " + std::strerror(errno));
    return status.st_size;
}

}  // namespace korvex::bench
