#include "app/cli/cli.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/image/image_io.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

const char kUsage[] =
    "usage: korvex-imager-cli list\n"
    "       korvex-imager-cli inspect FILE\n"
    "       korvex-imager-cli write FILE --drive NAME [--confirm NAME]\n";
const char kCancelledText[] =
    "Cancelled. If writing had started, recreate the USB before using it.";

// Turns SIGINT into a cancellation for as long as it lives. Blocks SIGINT in the calling thread
// (and so in the threads it starts) and waits for it on a thread of its own.
class InterruptCancels {
  public:
    explicit InterruptCancels(Cancellation& cancel) : cancel_(cancel) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGUSR1);  // our own wake-up at the end
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        waiter_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&set_, &signal) == 0) {
                if (signal == SIGUSR1) return;
                cancel_.cancel();
            }
        });
    }
    ~InterruptCancels() {
        pthread_kill(waiter_.native_handle(), SIGUSR1);
        waiter_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    InterruptCancels(const InterruptCancels&) = delete;
    InterruptCancels& operator=(const InterruptCancels&) = delete;

  private:
    Cancellation& cancel_;
    sigset_t set_;
    sigset_t previous_;
    std::thread waiter_;
};

const char* stageLabel(const std::string& stage) {
    if (stage == "downloading") return "Downloading image";
    if (stage == "inspecting") return "Inspecting image";
    if (stage == "writing") return "Writing USB drive";
    if (stage == "verifying") return "Verifying USB drive";
    if (stage == "connected") return "Preparing to write";
    return "Checking image";
}

// One progress line per event, rewritten in place on a terminal: stage, percentage, bytes, speed.
class ProgressLine {
  public:
    explicit ProgressLine(std::ostream& err) : err_(err), tty_(isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() {
        if (tty_ && shown_) err_ << "\n";
    }

    void operator()(const WriteEvent& e) {
        auto now = std::chrono::steady_clock::now();
        if (e.stage != stage_) {
            stage_ = e.stage;
            stageStart_ = now;
        }
        // On a terminal, redraw at most ten times a second; into a file, one line per stage change
        // and per 5 %.
        double seconds = std::chrono::duration<double>(now - stageStart_).count();
        int percent = e.total > 0 ? static_cast<int>(100.0 * static_cast<double>(e.completed) /
                                                     static_cast<double>(e.total))
                                  : -1;
        bool due = tty_
                       ? now - lastShown_ > std::chrono::milliseconds(100) || e.completed == e.total
                       : percent / 5 != lastPercent_ / 5 || e.stage != lastStage_;
        if (!due) return;
        lastShown_ = now;
        lastPercent_ = percent;
        lastStage_ = e.stage;

        char line[160];
        double mb = static_cast<double>(e.completed) / 1e6;
        double speed = seconds > 0 ? mb / seconds : 0;
        if (percent >= 0)
            std::snprintf(line, sizeof line, "%-20s %3d%%  %10.1f MB  %7.1f MB/s",
                          stageLabel(e.stage), percent, mb, speed);
        else
            std::snprintf(line, sizeof line, "%-20s       %10.1f MB  %7.1f MB/s",
                          stageLabel(e.stage), mb, speed);
        err_ << (tty_ ? "\r" : "") << line << (tty_ ? "\033[K" : "\n") << std::flush;
        shown_ = true;
    }

  private:
    std::ostream& err_;
    bool tty_;
    bool shown_ = false;
    std::string stage_, lastStage_;
    int lastPercent_ = -100;
    std::chrono::steady_clock::time_point stageStart_, lastShown_;
};

int listDrives(const WriterClient::Environment& env, std::ostream& out, std::ostream& err) {
    std::vector<TargetDisk> drives = env.listCandidates({});
    if (drives.empty()) err << "No available external USB/SD drive. Connect one and refresh.\n";
    for (const TargetDisk& d : drives) out << d.bsd << "\t" << d.label() << "\n";
    return 0;
}

int inspectFile(const std::string& file, std::ostream& out, std::ostream& err) {
    Cancellation cancel;
    InterruptCancels interrupt(cancel);
    ProgressLine progress(err);
    Inspection i = ImageIO::inspect(file, cancel, std::ref(progress));
    out << "bytes\t" << i.bytes << "\nexpanded\t" << i.expanded << "\nsha256\t" << i.sha256
        << "\nexpandedSHA256\t" << i.expandedSHA256 << "\n";
    return 0;
}

int writeImage(const std::string& file, const std::string& drive,
               const std::optional<std::string>& confirm, const WriterClient::Environment& env,
               std::istream& in, std::ostream& out, std::ostream& err) {
    Cancellation cancel;
    InterruptCancels interrupt(cancel);
    std::error_code ec;
    std::string source = std::filesystem::canonical(file, ec);
    if (ec) throw ImagerError("Cannot open the image file.");

    Inspection inspection;
    {
        ProgressLine progress(err);
        inspection = ImageIO::inspect(source, cancel, std::ref(progress));
    }

    std::optional<TargetDisk> target;
    for (const TargetDisk& d : env.listCandidates({source}))
        if (d.bsd == drive) target = d;
    if (!target)
        throw ImagerError(
            "The selected drive changed, is protected or was disconnected. Select it again.");
    if (target->capacity < static_cast<std::uint64_t>(inspection.expanded))
        throw ImagerError("The selected drive is too small. Choose a larger drive.");

    std::string typed;
    if (confirm) {
        typed = *confirm;
    } else {
        err << "Erase and write this drive?\n"
            << target->label()
            << "\n\nAll data will be permanently erased. Type the device identifier " << target->bsd
            << " to confirm.\n> " << std::flush;
        if (!std::getline(in, typed)) typed.clear();
    }
    if (typed != target->bsd || cancel.isCancelled()) throw ImagerError::cancelled();

    ProgressLine progress(err);
    WriterClient::write(source, inspection, *target, cancel, std::ref(progress), env);
    out << "complete\t" << target->bsd << "\t" << inspection.expanded << "\n";
    return 0;
}

}  // namespace

int runCli(int argc, char** argv, const WriterClient::Environment& environment, std::istream& in,
           std::ostream& out, std::ostream& err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 1 && args[0] == "list") return listDrives(environment, out, err);
        if (args.size() == 2 && args[0] == "inspect") return inspectFile(args[1], out, err);
        if (args.size() >= 2 && args[0] == "write") {
            std::optional<std::string> drive, confirm;
            bool ok = true;
            for (std::size_t i = 2; i < args.size(); i += 2) {
                if (i + 1 >= args.size())
                    ok = false;
                else if (args[i] == "--drive" && !drive)
                    drive = args[i + 1];
                else if (args[i] == "--confirm" && !confirm)
                    confirm = args[i + 1];
                else
                    ok = false;
            }
            if (ok && drive) return writeImage(args[1], *drive, confirm, environment, in, out, err);
        }
        err << kUsage;
        return 2;
    } catch (const ImagerError& e) {
        err << (e.isCancelled() ? kCancelledText : e.what()) << "\n";
    } catch (const DecodeError& e) {
        err << e.what() << "\n";
    } catch (const std::system_error& e) {
        err << e.what() << "\n";
    }
    return 1;
}

}  // namespace korvex
