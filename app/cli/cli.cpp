#include "app/cli/cli.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/catalogue/hardware_probe.hpp"
#include "app/catalogue/recommendation.hpp"
#include "app/catalogue/recommender.hpp"
#include "app/catalogue/signed_catalogue.hpp"
#include "app/model/app_paths.hpp"
#include "app/model/preferences.hpp"
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
    "usage: korvex-imager-cli [--json] [--chinese] list\n"
    "       korvex-imager-cli [--json] [--chinese] inspect FILE\n"
    "       korvex-imager-cli [--json] [--chinese] catalogue [--product tower|nomad|boards]\n"
    "                                                        [--search TEXT]\n"
    "       korvex-imager-cli [--json] [--chinese] recommend [--cpu TEXT]\n"
    "                             [--graphics unknown|integrated|amd|nvidia]\n"
    "       korvex-imager-cli [--json] [--chinese] download ID\n"
    "       korvex-imager-cli [--json] [--chinese] write FILE|ID --drive NAME [--confirm NAME]\n"
    "       korvex-imager-cli help [COMMAND] | --help | --version\n";

// One paragraph per command, for --help and "help COMMAND".
struct CommandHelp {
    const char* name;
    const char* text;
};

const CommandHelp kCommandHelp[] = {
    {"list",
     "  list              the drives that may be written: NAME, a tab, what the drive is\n"
     "                    --json: "
     "{\"type\":\"drive\",\"name\",\"label\",\"medium\",\"capacity\",\"bus\",\"id\"}\n"},
    {"inspect",
     "  inspect FILE      the image's stored and expanded size and SHA-256\n"
     "                    --json: progress objects, then "
     "{\"type\":\"inspection\",\"path\",\"bytes\",\n"
     "                    \"expanded\",\"sha256\",\"expandedSHA256\"}\n"},
    {"catalogue",
     "  catalogue [--product tower|nomad|boards] [--search TEXT]\n"
     "                    the active images of the newest valid signed catalogue (the shipped "
     "one,\n"
     "                    then a refresh from the network, as the application loads it) for one\n"
     "                    product (tower when not given) whose label or device contains TEXT:\n"
     "                    ID, label, download size and release date, tab-separated\n"
     "                    --json: {\"type\":\"catalogue\",\"version\",\"generatedAt\",\"note\"}, "
     "then\n"
     "                    one image object per image: "
     "{\"type\":\"image\",\"id\",\"label\",\"name\",\n"
     "                    "
     "\"version\",\"releaseDate\",\"product\",\"board\",\"device\",\"compression\",\n"
     "                    \"compressedSize\",\"expandedSize\",\"sizeText\",\"sha256\"}\n"},
    {"recommend",
     "  recommend [--cpu TEXT] [--graphics unknown|integrated|amd|nvidia]\n"
     "                    the image suggested for a computer and why: for this computer, as\n"
     "                    detected, when --cpu is not given (its graphics guessed unless given);\n"
     "                    for the processor TEXT names otherwise (graphics unknown unless given)\n"
     "                    --json: {\"type\":\"recommendation\",\"cpu\",\"graphics\",\"reason\",\n"
     "                    \"reasonText\",\"trial\",\"image\"} (image: an image object, or null)\n"},
    {"download",
     "  download ID       downloads the catalogue image ID into the download cache (resuming a\n"
     "                    partial download, retrying brief network failures), proves it against\n"
     "                    the signed entry, and prints the file's path\n"
     "                    --json: progress objects, then {\"type\":\"download\",\"id\",\"path\",\n"
     "                    "
     "\"inspection\":{\"bytes\",\"expanded\",\"sha256\",\"expandedSHA256\"}}\n"},
    {"write",
     "  write FILE|ID --drive NAME [--confirm NAME]\n"
     "                    writes the image file FILE, or the catalogue image ID once downloaded\n"
     "                    and proved, to drive NAME (sdb or /dev/sdb) once you have typed NAME\n"
     "                    to confirm; --confirm NAME confirms beforehand, for scripts. An "
     "argument\n"
     "                    holding a \"/\" or naming an existing file is a FILE (./ID for a file\n"
     "                    named like an image)\n"
     "                    --json: progress objects, then "
     "{\"type\":\"written\",\"drive\",\"bytes\",\n"
     "                    \"path\"}\n"},
};

const char kHelp[] =
    "\n"
    "Writes a Korvex image (IMG, BIN, hybrid ISO, or a ZIP, XZ, GZip or Zstandard file holding\n"
    "one) to an external USB or SD drive, then reads the whole written range back against the\n"
    "image.\n"
    "\n"
    "@COMMANDS@"
    "\n"
    "  --chinese         the Chinese texts, where the application has them\n"
    "  --json            for scripts: standard output holds only JSON objects, one per line,\n"
    "                    each with a \"type\"; texts for people stay on standard error. Long\n"
    "                    steps add {\"type\":\"progress\",\"stage\",\"completed\",\"total\"} "
    "(stage:\n"
    "                    downloading, checking, inspecting, connected, writing, verifying). The\n"
    "                    last line is always {\"type\":\"outcome\",\"outcome\",\"exitStatus\"} "
    "with\n"
    "                    outcome done, failed, usage or cancelled, and \"message\" when there\n"
    "                    is one.\n"
    "\n"
    "When the catalogue fails to load (a shipped catalogue that does not verify, a refreshed\n"
    "one that cannot be kept), a download or a write of a catalogue image stops with the\n"
    "catalogue's text rather than trust an older list; catalogue and recommend still show what\n"
    "there is, and exit 1. A catalogue server that cannot be reached leaves the shipped\n"
    "catalogue, as in the window. Downloads are kept in\n"
    "\"Korvex Imager/Images\" under $XDG_DATA_HOME (~/.local/share).\n"
    "\n"
    "Run it as the user who owns the image, not with sudo: a write asks for administrator\n"
    "rights itself, through pkexec, or sudo -n when KORVEX_IMAGER_ELEVATE=sudo is set.\n"
    "Ctrl-C, SIGTERM and SIGHUP cancel; a write that had started then stops in order and\n"
    "leaves the drive to be recreated before use.\n"
    "\n"
    "Exit status: 0 done (for a write: written and read back), 1 failed, 2 wrong usage,\n"
    "3 cancelled.\n";
const char kInspectCancelled[] = "Cancelled.";
const char kRunAsUser[] =
    "Run korvex-imager-cli as the user who owns the image, not as root: it asks for "
    "administrator rights itself.";

const char* stageLabel(const std::string& stage, bool chinese) {
    if (stage == "downloading") return chinese ? "正在下载镜像" : "Downloading image";
    if (stage == "inspecting") return chinese ? "正在检查镜像内容" : "Inspecting image";
    if (stage == "writing") return chinese ? "正在写入 U 盘" : "Writing USB drive";
    if (stage == "verifying") return chinese ? "正在回读校验" : "Verifying USB drive";
    if (stage == "connected") return chinese ? "正在准备写入" : "Preparing to write";
    return chinese ? "正在校验镜像" : "Checking image";
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

    ProgressLine(std::ostream& err, bool tty, bool chinese = false)
        : err_(err), tty_(tty), chinese_(chinese) {}
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
            std::snprintf(line, sizeof line, "%-20s %3d%%  %10.1f MB  %s%s",
                          stageLabel(e.stage, chinese_), percent, mb, speedText.c_str(),
                          left.c_str());
        else
            std::snprintf(line, sizeof line, "%-20s       %10.1f MB  %s",
                          stageLabel(e.stage, chinese_), mb, speedText.c_str());
        err_ << (tty_ ? "\r" : "") << line << (tty_ ? "\033[K" : "\n") << std::flush;
        shown_ = true;
    }

    std::ostream& err_;
    const bool tty_;
    const bool chinese_;
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

using nlohmann::json;

// Where the results go: texts on `out`, or with --json one JSON object per line there and
// nothing else. Progress is drawn for people on `err` either way, and with --json also sent as
// objects, one per stage and whole percent.
class Report {
  public:
    Report(std::ostream& out, std::ostream& err, bool json, bool chinese, bool tty)
        : out(out), err(err), json(json), chinese(chinese), tty(tty) {}

    void object(const json& value) { out << text(value) << "\n" << std::flush; }

    // Compact JSON; bytes that are not UTF-8 (a file name, a drive's name) become U+FFFD rather
    // than end the run.
    static std::string text(const json& value) {
        return value.dump(-1, ' ', false, json::error_handler_t::replace);
    }

    // A progress callback for one step: the line on `err`, and the objects with --json.
    ProgressCallback progress(ProgressLine& line) {
        return [this, &line](const WriteEvent& e) {
            line(e);
            if (!json || isFinal(e.stage)) return;
            const int percent = e.total > 0
                                    ? static_cast<int>(100.0 * static_cast<double>(e.completed) /
                                                       static_cast<double>(e.total))
                                    : -1;
            if (e.stage == lastStage_ && percent == lastPercent_ && percent >= 0) return;
            if (e.stage == lastStage_ && percent < 0 && e.completed - lastCompleted_ < (64 << 20))
                return;
            lastStage_ = e.stage, lastPercent_ = percent, lastCompleted_ = e.completed;
            object({{"type", "progress"},
                    {"stage", e.stage},
                    {"completed", e.completed},
                    {"total", e.total}});
        };
    }

    std::ostream& out;
    std::ostream& err;
    const bool json;
    const bool chinese;
    const bool tty;

  private:
    std::string lastStage_;
    int lastPercent_ = -2;
    std::int64_t lastCompleted_ = 0;
};

std::string sizeText(std::int64_t bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

json imageObject(const ImageVariant& image) {
    return {{"type", "image"},
            {"id", image.id},
            {"label", image.label()},
            {"name", image.name},
            {"version", image.version},
            {"releaseDate", image.releaseDate},
            {"product", image.product.value_or("")},
            {"board", image.board.value_or("")},
            {"device", image.device.value_or("")},
            {"compression", image.compression},
            {"compressedSize", image.compressedSize},
            {"expandedSize", image.expandedSize},
            {"sizeText", sizeText(image.compressedSize)},
            {"sha256", image.sha256}};
}

json inspectionObject(const Inspection& i) {
    return {{"bytes", i.bytes},
            {"expanded", i.expanded},
            {"sha256", i.sha256},
            {"expandedSHA256", i.expandedSHA256}};
}

// Options of the form "--name VALUE" or "--name=VALUE", each at most once and never empty, and
// positional arguments; nullopt for anything else.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

std::optional<Arguments> parseArguments(const std::vector<std::string>& args,
                                        const std::vector<std::string>& names) {
    Arguments parsed;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool matched = false;
        for (const std::string& n : names) {
            std::optional<std::string> value;
            if (a == n && i + 1 < args.size())
                value = args[++i];
            else if (a.rfind(n + "=", 0) == 0)
                value = a.substr(n.size() + 1);
            if (!value) continue;
            if (value->empty() || !parsed.options.emplace(n, *value).second) return std::nullopt;
            matched = true;
            break;
        }
        if (matched) continue;
        if (a.rfind("-", 0) == 0) return std::nullopt;
        parsed.positional.push_back(a);
    }
    return parsed;
}

std::optional<std::string> option(const Arguments& a, const std::string& name) {
    auto it = a.options.find(name);
    return it == a.options.end() ? std::nullopt : std::optional<std::string>(it->second);
}

// The catalogue as the application loads it. The load's own failure is told (the log's detail,
// then the application's text); with `strict` it ends the command, since a catalogue that could
// not be refreshed may still offer an image that has since been retired.
CatalogueView::Loaded loadCatalogue(const CliServices& services, Report& report, bool strict) {
    CatalogueView::Loaded loaded = CatalogueView::load(services.bundled, services.refresh);
    if (loaded.shipped) report.err << CatalogueView::note(report.chinese) << "\n";
    if (loaded.failure) {
        report.err << *loaded.failure << "\n";
        if (strict) throw ImagerError(reasonText("catalogue", report.chinese));
    }
    return loaded;
}

// The active image `id` of the catalogue; "No image selected." when there is none, as for the
// application when nothing is chosen.
ImageVariant findImage(const Catalogue& catalogue, const std::string& id, Report& report) {
    for (const ImageVariant& image : catalogue.active())
        if (image.id == id) return image;
    report.err << "No active image of the catalogue has the ID " << id
               << " (korvex-imager-cli catalogue lists them).\n";
    throw ImagerError("No image selected.");
}

std::string cacheFolder() {
    struct NoPreferences : PreferenceStore {
        std::optional<std::string> string(std::string_view) const override { return std::nullopt; }
    } none;
    return AppPaths::cache(none);
}

int listDrives(const CliServices& services, Report& report) {
    std::vector<TargetDisk> drives = services.environment.listCandidates({});
    if (drives.empty())
        report.err << "No available external USB/SD drive. Connect one and refresh.\n";
    for (const TargetDisk& d : drives) {
        if (report.json)
            report.object({{"type", "drive"},
                           {"name", d.bsd},
                           {"label", d.label()},
                           {"medium", d.name},
                           {"capacity", d.capacity},
                           {"bus", d.bus},
                           {"id", d.id()}});
        else
            report.out << d.bsd << "\t" << d.label() << "\n";
    }
    return kCliDone;
}

int inspectFile(const std::string& file, Report& report) {
    const std::string source = WriterClient::resolveImage(file);
    Cancellation cancel;
    SignalCancellation signals(cancel);
    Inspection i;
    {
        ProgressLine line(report.err, report.tty, report.chinese);
        i = ImageIO::inspect(source, cancel, report.progress(line));
    }
    if (report.json) {
        json o = inspectionObject(i);
        o["type"] = "inspection";
        o["path"] = source;
        report.object(o);
    } else {
        report.out << "bytes\t" << i.bytes << "\nexpanded\t" << i.expanded << "\nsha256\t"
                   << i.sha256 << "\nexpandedSHA256\t" << i.expandedSHA256 << "\n";
    }
    return kCliDone;
}

int listCatalogue(const Arguments& a, const CliServices& services, Report& report) {
    const std::string product = option(a, "--product").value_or("tower");
    const CatalogueView::Loaded loaded = loadCatalogue(services, report, false);
    if (report.json && loaded.catalogue)
        report.object({{"type", "catalogue"},
                       {"version", loaded.catalogue->catalogueVersion},
                       {"generatedAt", loaded.catalogue->generatedAt},
                       {"note", loaded.shipped ? CatalogueView::note(report.chinese) : ""}});
    for (const ImageVariant& image :
         CatalogueView::images(loaded.catalogue, product, option(a, "--search").value_or(""))) {
        if (report.json)
            report.object(imageObject(image));
        else
            report.out << image.id << "\t" << image.label() << "\t"
                       << sizeText(image.compressedSize) << "\t" << image.releaseDate << "\n";
    }
    if (loaded.failure) throw ImagerError(reasonText("catalogue", report.chinese));
    return kCliDone;
}

int recommend(const Arguments& a, const CliServices& services, Report& report) {
    const std::optional<std::string> cpuOption = option(a, "--cpu");
    const bool other = cpuOption.has_value();
    const DeviceProfile profile = other ? DeviceProfile{} : services.probe();
    const std::string cpu = other ? *cpuOption : profile.cpu;
    const std::string graphics =
        option(a, "--graphics").value_or(other ? "unknown" : CatalogueView::guessGraphics(profile));
    const CatalogueView::Loaded loaded = loadCatalogue(services, report, false);
    const Recommendation r =
        Recommender::recommend(cpu, graphics, loaded.catalogue, services.inventory(),
                               CatalogueView::host(other, cpu, profile));
    const std::string text = reasonText(r.reason, report.chinese);
    if (report.json) {
        report.object({{"type", "recommendation"},
                       {"cpu", cpu},
                       {"graphics", graphics},
                       {"reason", r.reason},
                       {"reasonText", text},
                       {"trial", r.trial},
                       {"image", r.image ? imageObject(*r.image) : json(nullptr)}});
    } else {
        if (r.image) report.out << r.image->id << "\t" << r.image->label() << "\n";
        report.out << text << "\n";
    }
    if (loaded.failure) throw ImagerError(reasonText("catalogue", report.chinese));
    return kCliDone;
}

// The download of the catalogue image `id`, proved against its entry.
PreparedImage downloadImage(const std::string& id, const CliServices& services,
                            const Cancellation& cancel, Report& report) {
    const CatalogueView::Loaded loaded = loadCatalogue(services, report, true);
    if (cancel.isCancelled()) throw ImagerError::cancelled();
    const ImageVariant image = findImage(*loaded.catalogue, id, report);
    ProgressLine line(report.err, report.tty, report.chinese);
    return ImagePreparation::prepare(std::nullopt, image, cacheFolder(), cancel,
                                     report.progress(line), services.fetch);
}

int download(const std::string& id, const CliServices& services, Report& report) {
    Cancellation cancel;
    SignalCancellation signals(cancel);
    const PreparedImage prepared = downloadImage(id, services, cancel, report);
    if (report.json)
        report.object({{"type", "download"},
                       {"id", id},
                       {"path", prepared.path},
                       {"inspection", inspectionObject(prepared.inspection)}});
    else
        report.out << prepared.path << "\n";
    return kCliDone;
}

std::optional<TargetDisk> findDrive(const WriterClient::Environment& env, const std::string& source,
                                    const std::string& drive) {
    for (const TargetDisk& d : env.listCandidates({source}))
        if (d.bsd == drive) return d;
    return std::nullopt;
}

int writeImage(const Arguments& a, const CliServices& services, int in, Report& report) {
    // Run as root, the request would name root as the image's owner and the writer would refuse
    // it, but only after the whole inspection.
    if (getuid() == 0 || geteuid() == 0) throw ImagerError(kRunAsUser);
    const std::string& chosen = a.positional.front();
    std::string drive = *option(a, "--drive");
    if (drive.rfind("/dev/", 0) == 0) drive = drive.substr(5);
    std::error_code ec;
    const bool isFile =
        chosen.find('/') != std::string::npos || std::filesystem::exists(chosen, ec);
    const WriterClient::Environment& env = services.environment;
    Cancellation cancel;
    SignalCancellation signals(cancel);

    // The drive first: a wrong name must not cost a download or an inspection. A drive that
    // holds the cache cannot be chosen for a download into it.
    if (!isFile) AppPaths::makePrivate(cacheFolder());
    const std::string source = isFile ? WriterClient::resolveImage(chosen) : cacheFolder();
    if (!findDrive(env, source, drive)) throw ImagerError(kSelectedDriveChanged);

    PreparedImage prepared;
    if (isFile) {
        ProgressLine line(report.err, report.tty, report.chinese);
        prepared =
            ImagePreparation::prepare(source, std::nullopt, "", cancel, report.progress(line));
    } else {
        prepared = downloadImage(chosen, services, cancel, report);
    }

    std::optional<TargetDisk> target = findDrive(env, prepared.path, drive);
    if (!target) throw ImagerError(kSelectedDriveChanged);
    ImagePreparation::checkCapacity(target, prepared.inspection, report.chinese);
    if (cancel.isCancelled()) throw ImagerError::cancelled();

    std::optional<std::string> typed = option(a, "--confirm");
    if (!typed) {
        report.err << "Erase and write this drive?\n"
                   << target->label()
                   << "\n\nAll data will be permanently erased. Type the device identifier "
                   << target->bsd << " to confirm.\n> " << std::flush;
        typed = readAnswer(in, signals.arrivedFd());
        if (!typed) report.err << "\n";
    }
    if (!typed || *typed != target->bsd || cancel.isCancelled()) throw ImagerError::cancelled();

    {
        ProgressLine line(report.err, report.tty, report.chinese);
        WriterClient::write(prepared.path, prepared.inspection, *target, cancel,
                            report.progress(line), env);
    }
    if (report.json)
        report.object({{"type", "written"},
                       {"drive", target->bsd},
                       {"bytes", prepared.inspection.expanded},
                       {"path", prepared.path}});
    else
        report.out << "complete\t" << target->bsd << "\t" << prepared.inspection.expanded << "\n";
    return kCliDone;
}

void printHelp(std::ostream& out, const CommandHelp* only) {
    if (only != nullptr) {
        out << only->text;
        return;
    }
    std::string commands;
    for (const CommandHelp& c : kCommandHelp) commands += c.text;
    std::string help = kHelp;
    help.replace(help.find("@COMMANDS@"), 10, commands);
    out << kUsage << help;
}

const CommandHelp* commandHelp(const std::string& name) {
    for (const CommandHelp& c : kCommandHelp)
        if (name == c.name) return &c;
    return nullptr;
}

int runCommand(std::vector<std::string> args, const CliServices& services, int in, Report& report,
               const char*& cancelledText) {
    auto is = [&](const char* command, std::size_t least, std::size_t most) {
        return !args.empty() && args[0] == command && args.size() >= least && args.size() <= most;
    };
    if (is("list", 1, 1)) return listDrives(services, report);
    if (is("inspect", 2, 2)) {
        cancelledText = kInspectCancelled;
        return inspectFile(args[1], report);
    }
    if (is("catalogue", 1, 5))
        if (auto a = parseArguments(args, {"--product", "--search"}))
            if (a->positional.empty()) {
                const std::string product = option(*a, "--product").value_or("tower");
                if (product == "tower" || product == "nomad" || product == "boards")
                    return listCatalogue(*a, services, report);
            }
    if (is("recommend", 1, 5))
        if (auto a = parseArguments(args, {"--cpu", "--graphics"}))
            if (a->positional.empty()) {
                const std::string g = option(*a, "--graphics").value_or("unknown");
                if (g == "unknown" || g == "integrated" || g == "amd" || g == "nvidia")
                    return recommend(*a, services, report);
            }
    if (is("download", 2, 2) && args[1].rfind("-", 0) != 0) {
        cancelledText = kInspectCancelled;
        return download(args[1], services, report);
    }
    if (is("write", 2, 6))
        if (auto a = parseArguments(args, {"--drive", "--confirm"}))
            if (a->positional.size() == 1 && option(*a, "--drive"))
                return writeImage(*a, services, in, report);
    // One line, as GNU tools answer a wrong command line; the full usage is in --help.
    const bool known = !args.empty() && commandHelp(args[0]) != nullptr;
    report.err << "korvex-imager-cli: "
               << (args.empty() ? std::string("missing command")
                   : args[0] == "help" && args.size() == 2
                       ? "no command '" + args[1] + "'"
                   : known ? "invalid arguments for '" + args[0] + "'"
                           : "unknown command or option '" + args[0] + "'")
               << "; try 'korvex-imager-cli --help'.\n";
    return kCliUsage;
}

}  // namespace

CliServices CliServices::system() {
    return {WriterClient::systemEnvironment(),
            [] { return SignedCatalogue::bundled(); },
            [](const Catalogue& current, const CatalogueConfig& config) {
                return SignedCatalogue::refresh(current, config);
            },
            {},
            [] { return HardwareProbe::detect(); },
            [] { return ProcessorInventory::load(); }};
}

namespace {

// Where this program finds its writer and resources, and how it will start the writer: what an
// administrator checks when setting up sudo, and what the package's test looks for.
void versionDetails(const WriterClient::Environment& environment, std::ostream& out) {
    const std::string& writer = environment.writerPath;
    out << "writer: " << writer
        << (WriterClient::installedWriter(writer) ? " (installed, started directly)"
                                                  : " (started through the launch script)")
        << "\n";
    try {
        out << "resources: " << AppPaths::resourceFolder() << "\n";
    } catch (const ImagerError& e) {
        out << "resources: " << e.what() << "\n";
    }
}

}  // namespace

int runCli(int argc, char** argv, const CliServices& services, int in, std::ostream& out,
           std::ostream& err) {
    std::vector<std::string> args;
    bool json = false, chinese = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json")
            json = true;
        else if (a == "--chinese")
            chinese = true;
        else
            args.push_back(a);
    }
    const bool tty = &err == &std::cerr && isatty(STDERR_FILENO) == 1;
    Report report(out, err, json, chinese, tty);
    const char* cancelledText = kWriteCancelled;
    int status = kCliFailed;
    std::string message;
    try {
        for (const std::string& a : args)
            if (a == "--help" || a == "-h") {
                args = commandHelp(args[0]) ? std::vector<std::string>{"help", args[0]}
                                            : std::vector<std::string>{"help"};
                break;
            }
        if (!args.empty() && args[0] == "help" && args.size() <= 2) {
            const CommandHelp* only = args.size() == 2 ? commandHelp(args[1]) : nullptr;
            if (args.size() == 1 || only != nullptr) {
                printHelp(out, only);
                return kCliDone;
            }
        }
        if (args.size() == 1 && args[0] == "--version") {
            out << "korvex-imager-cli " << KVI_VERSION << "\n";
            versionDetails(services.environment, out);
            return kCliDone;
        }
        status = runCommand(args, services, in, report, cancelledText);
    } catch (const ImagerError& e) {
        message = e.isCancelled() ? cancelledText : e.what();
        // Why the runner gave up (no polkit agent, no sudoers rule) is only in its own words.
        if (auto* incomplete = dynamic_cast<const WriteIncomplete*>(&e);
            incomplete != nullptr && !incomplete->runnerOutput().empty())
            message += "\n" + incomplete->runnerOutput();
        status = e.isCancelled() ? kCliCancelled : kCliFailed;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unexpected failure.";
    }
    if (!message.empty()) err << message << "\n";
    if (json) {
        static const char* const kOutcomes[] = {"done", "failed", "usage", "cancelled"};
        nlohmann::json o = {
            {"type", "outcome"}, {"outcome", kOutcomes[status]}, {"exitStatus", status}};
        if (!message.empty()) o["message"] = message;
        report.object(o);
    }
    return status;
}

}  // namespace korvex
