#include "app/cli/cli.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/image/image_io.hpp"
#include "core/records/imager_error.hpp"
#include "writer/signal_cancellation.hpp"

#ifndef KVI_VERSION
#define KVI_VERSION "0.8.1"
#endif

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: korvex-imager-cli list\n"
    "       korvex-imager-cli inspect FILE\n"
    "       korvex-imager-cli write FILE --drive NAME [--confirm NAME]\n"
    "       korvex-imager-cli --help | --version\n";

const char kHelp[] =
    "\n"
    "Writes a Korvex image (IMG, BIN, hybrid ISO, or a ZIP, XZ or GZip file holding one) to an\n"
    "external USB or SD drive, then reads the whole written range back against the image.\n"
    "\n"
    "  list              the drives that may be written: NAME, a tab, what the drive is\n"
    "  inspect FILE      the image's stored and expanded size and SHA-256\n"
    "  write FILE --drive NAME\n"
    "                    writes FILE to drive NAME (sdb or /dev/sdb) once you have typed NAME\n"
    "                    to confirm; --confirm NAME confirms beforehand, for scripts\n"
    "\n"
    "Run it as the user who owns the image, not with sudo: a write asks for administrator\n"
    "rights itself, through pkexec, or sudo -n when KORVEX_IMAGER_ELEVATE=sudo is set.\n"
    "Ctrl-C, SIGTERM and SIGHUP cancel; a write that had started then stops in order and\n"
    "leaves the drive to be recreated before use.\n"
    "\n"
    "Exit status: 0 done (for a write: written and read back), 1 failed, 2 wrong usage,\n"
    "3 cancelled.\n";

const char kWriteCancelled[] =
    "Cancelled. If writing had started, recreate the USB before using it.";
const char kInspectCancelled[] = "Cancelled.";
const char kRunAsUser[] =
    "Run korvex-imager-cli as the user who owns the image, not as root: it asks for "
    "administrator rights itself.";
const char kDriveChanged[] =
    "The selected drive changed, is protected or was disconnected. Select it again.";

const char* stageLabel(const std::string& stage) {
    if (stage == "downloading") return "Downloading image";
    if (stage == "inspecting") return "Inspecting image";
    if (stage == "writing") return "Writing USB drive";
    if (stage == "verifying") return "Verifying USB drive";
    if (stage == "connected") return "Preparing to write";
    return "Checking image";
}

bool isFinal(const std::string& stage) {
    return stage == "complete" || stage == "error" || stage == "cancelled";
}

// "1:05:09" or "4:07".
std::string clockText(double seconds) {
    auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

// One line per pass (a stage, begun again whenever its count goes back), redrawn in place on a
// terminal: label, percentage, bytes, speed and time left. The speed is the change of the
// events' own byte counts over the last few seconds: events come in bursts, so the time between
// two arrivals says nothing. The final events end the line and draw nothing; the outcome is
// printed on a line of its own.
class ProgressLine {
  public:
    static constexpr auto kWindow = std::chrono::seconds(5);
    static constexpr auto kShortestSpan = std::chrono::seconds(1);

    ProgressLine(std::ostream& err, bool tty) : err_(err), tty_(tty) {}
    ~ProgressLine() { finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void operator()(const WriteEvent& e) {
        if (isFinal(e.stage)) return finish();
        const auto now = Clock::now();
        if (e.stage != stage_ || e.completed < lastCompleted_) {
            finish();
            stage_ = e.stage;
            samples_.clear();
            lastPercent_ = -100;
            lastShown_ = {};
        }
        lastCompleted_ = e.completed;
        samples_.emplace_back(now, e.completed);
        while (samples_.size() > 2 && now - samples_[1].first >= kWindow) samples_.pop_front();

        const int percent = percentOf(e);
        const bool due =
            tty_ ? now - lastShown_ >= std::chrono::milliseconds(100) || e.completed == e.total
                 : percent / 5 != lastPercent_ / 5;
        if (!due) {
            pending_ = e;
            return;
        }
        lastShown_ = now;
        lastPercent_ = percent;
        pending_.reset();
        draw(e, percent);
    }

    // Shows where the pass ended, then ends its line.
    void finish() {
        if (pending_) draw(*pending_, percentOf(*pending_));
        pending_.reset();
        if (tty_ && shown_) err_ << "\n" << std::flush;
        shown_ = false;
    }

  private:
    static int percentOf(const WriteEvent& e) {
        return e.total > 0 ? static_cast<int>(100.0 * static_cast<double>(e.completed) /
                                              static_cast<double>(e.total))
                           : -1;
    }

    void draw(const WriteEvent& e, int percent) {
        std::string speedText = "     -- MB/s";
        std::string left;
        const auto& [firstTime, firstBytes] = samples_.front();
        const auto& [lastTime, lastBytes] = samples_.back();
        const double span = std::chrono::duration<double>(lastTime - firstTime).count();
        if (lastTime - firstTime >= kShortestSpan) {
            const double perSecond = static_cast<double>(lastBytes - firstBytes) / span;
            char text[32];
            std::snprintf(text, sizeof text, "%7.1f MB/s", perSecond / 1e6);
            speedText = text;
            if (perSecond > 0 && e.total > 0)
                left = "  " + clockText(static_cast<double>(e.total - e.completed) / perSecond) +
                       " left";
        }
        char line[160];
        const double mb = static_cast<double>(e.completed) / 1e6;
        if (percent >= 0)
            std::snprintf(line, sizeof line, "%-20s %3d%%  %10.1f MB  %s%s", stageLabel(e.stage),
                          percent, mb, speedText.c_str(), left.c_str());
        else
            std::snprintf(line, sizeof line, "%-20s       %10.1f MB  %s", stageLabel(e.stage), mb,
                          speedText.c_str());
        err_ << (tty_ ? "\r" : "") << line << (tty_ ? "\033[K" : "\n") << std::flush;
        shown_ = true;
    }

    std::ostream& err_;
    const bool tty_;
    bool shown_ = false;
    std::string stage_;
    std::int64_t lastCompleted_ = 0;
    int lastPercent_ = -100;
    Clock::time_point lastShown_{};
    std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
    std::optional<WriteEvent> pending_;
};

// One line from `fd`, without its line feed; nothing at the end of the input or once a signal
// has arrived (readable `signalled`), whichever comes first.
std::optional<std::string> readAnswer(int fd, int signalled) {
    std::string line;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {signalled, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (fds[1].revents != 0) return std::nullopt;
        char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n') return line;
        // No identifier is this long: what follows cannot make the answer right.
        if (line.size() < 256) line += c;
    }
}

struct WriteArguments {
    std::string file;
    std::string drive;
    std::optional<std::string> confirm;
};

// FILE, --drive NAME and optionally --confirm NAME, in any order; "--drive=NAME" as well. A drive
// may be named by its device path.
std::optional<WriteArguments> parseWrite(const std::vector<std::string>& args) {
    std::optional<std::string> file, drive, confirm;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::optional<std::string>* option = nullptr;
        std::string value;
        for (auto [name, target] :
             {std::pair{"--drive", &drive}, std::pair{"--confirm", &confirm}}) {
            const std::string n = name;
            if (a == n && i + 1 < args.size()) {
                option = target;
                value = args[++i];
            } else if (a.rfind(n + "=", 0) == 0) {
                option = target;
                value = a.substr(n.size() + 1);
            }
        }
        if (option == nullptr) {
            if (a.rfind("-", 0) == 0 || file) return std::nullopt;
            file = a;
        } else {
            if (*option || value.empty()) return std::nullopt;
            *option = value;
        }
    }
    if (!file || !drive) return std::nullopt;
    if (drive->rfind("/dev/", 0) == 0) drive = drive->substr(5);
    return WriteArguments{*file, *drive, confirm};
}

int listDrives(const WriterClient::Environment& env, std::ostream& out, std::ostream& err) {
    std::vector<TargetDisk> drives = env.listCandidates({});
    if (drives.empty()) err << "No available external USB/SD drive. Connect one and refresh.\n";
    for (const TargetDisk& d : drives) out << d.bsd << "\t" << d.label() << "\n";
    return kCliDone;
}

int inspectFile(const std::string& file, std::ostream& out, std::ostream& err, bool tty) {
    const std::string source = WriterClient::resolveImage(file);
    Cancellation cancel;
    SignalCancellation signals(cancel);
    Inspection i;
    {
        ProgressLine progress(err, tty);
        i = ImageIO::inspect(source, cancel, std::ref(progress));
    }
    out << "bytes\t" << i.bytes << "\nexpanded\t" << i.expanded << "\nsha256\t" << i.sha256
        << "\nexpandedSHA256\t" << i.expandedSHA256 << "\n";
    return kCliDone;
}

std::optional<TargetDisk> findDrive(const WriterClient::Environment& env, const std::string& source,
                                    const std::string& drive) {
    for (const TargetDisk& d : env.listCandidates({source}))
        if (d.bsd == drive) return d;
    return std::nullopt;
}

int writeImage(const WriteArguments& args, const WriterClient::Environment& env, int in,
               std::ostream& out, std::ostream& err, bool tty) {
    // Run as root, the request would name root as the image's owner and the writer would refuse
    // it, but only after the whole inspection.
    if (getuid() == 0 || geteuid() == 0) throw ImagerError(kRunAsUser);
    const std::string source = WriterClient::resolveImage(args.file);
    Cancellation cancel;
    SignalCancellation signals(cancel);

    // The drive first: a wrong name must not cost an inspection.
    if (!findDrive(env, source, args.drive)) throw ImagerError(kDriveChanged);

    Inspection inspection;
    {
        ProgressLine progress(err, tty);
        inspection = ImageIO::inspect(source, cancel, std::ref(progress));
    }

    std::optional<TargetDisk> target = findDrive(env, source, args.drive);
    if (!target) throw ImagerError(kDriveChanged);
    if (target->capacity < static_cast<std::uint64_t>(inspection.expanded))
        throw ImagerError("The selected drive is too small. Choose a larger drive.");
    if (cancel.isCancelled()) throw ImagerError::cancelled();

    std::optional<std::string> typed = args.confirm;
    if (!typed) {
        err << "Erase and write this drive?\n"
            << target->label()
            << "\n\nAll data will be permanently erased. Type the device identifier " << target->bsd
            << " to confirm.\n> " << std::flush;
        typed = readAnswer(in, signals.arrivedFd());
        if (!typed) err << "\n";
    }
    if (!typed || *typed != target->bsd || cancel.isCancelled()) throw ImagerError::cancelled();

    {
        ProgressLine progress(err, tty);
        WriterClient::write(source, inspection, *target, cancel, std::ref(progress), env);
    }
    out << "complete\t" << target->bsd << "\t" << inspection.expanded << "\n";
    return kCliDone;
}

}  // namespace

int runCli(int argc, char** argv, const WriterClient::Environment& environment, int in,
           std::ostream& out, std::ostream& err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool tty = &err == &std::cerr && isatty(STDERR_FILENO) == 1;
    const char* cancelledText = kWriteCancelled;
    try {
        for (const std::string& a : args)
            if (a == "--help" || a == "-h") args = {"help"};
        if (args.size() == 1 && args[0] == "help") {
            out << kUsage << kHelp;
            return kCliDone;
        }
        if (args.size() == 1 && args[0] == "--version") {
            out << "korvex-imager-cli " << KVI_VERSION << "\n";
            return kCliDone;
        }
        if (args.size() == 1 && args[0] == "list") return listDrives(environment, out, err);
        if (args.size() == 2 && args[0] == "inspect") {
            cancelledText = kInspectCancelled;
            return inspectFile(args[1], out, err, tty);
        }
        if (!args.empty() && args[0] == "write")
            if (std::optional<WriteArguments> w = parseWrite(args))
                return writeImage(*w, environment, in, out, err, tty);
        err << kUsage << "Try korvex-imager-cli --help.\n";
        return kCliUsage;
    } catch (const ImagerError& e) {
        err << (e.isCancelled() ? cancelledText : e.what()) << "\n";
        return e.isCancelled() ? kCliCancelled : kCliFailed;
    } catch (const std::exception& e) {
        err << e.what() << "\n";
    } catch (...) {
        err << "Unexpected failure.\n";
    }
    return kCliFailed;
}

}  // namespace korvex
