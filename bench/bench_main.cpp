// kvi-bench: measures the image operations against the standard tools, on images it makes itself.
//
//   kvi-bench [--rounds N] [--workdir DIR] [--only NAME[,NAME...]]... [--list]
//
// Exit status 0 when every measured target is met, 1 when one is missed or a comparison fails,
// 2 on a usage error or when the images cannot be made. "--child MODE ..." is the measuring side
// that the benchmark runs itself.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/bench_images.hpp"
#include "bench/bench_report.hpp"
#include "bench/child_process.hpp"
#include "bench/comparisons.hpp"
#include "bench/measuring_modes.hpp"
#include "core/system/system_facts.hpp"

namespace {

using namespace korvex::bench;

constexpr const char* kUsage =
    "usage: kvi-bench [--rounds N] [--workdir DIR] [--only NAME[,NAME...]]... [--list]\n"
    "  --rounds N     measured rounds per comparison, median taken (default 5)\n"
    "  --workdir DIR  where the images are made and kept between runs (default "
    "/var/tmp/kvi-bench)\n"
    "  --only NAME    run only the named comparisons (see --list)\n";

std::string selfPath() {
    try {
        return korvex::SystemFacts::system().executable();
    } catch (const std::system_error&) {
        throw BenchError("cannot find this program's path");
    }
}

std::string now() {
    std::time_t t = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

// A mistake in the command line: reported with the usage text.
class UsageError : public BenchError {
  public:
    using BenchError::BenchError;
};

// The first three fields of /proc/loadavg: other work on the machine shows in every figure.
std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double loadOverOneMinute() {
    std::ifstream file("/proc/loadavg");
    double one = 0;
    file >> one;
    return one;
}

int benchmark(int argc, char** argv) {
    Settings settings;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--rounds") {
            std::string text = value();
            settings.rounds = std::atoi(text.c_str());
            if (settings.rounds < 1 || settings.rounds > 1000)
                throw UsageError("--rounds wants a number from 1 to 1000");
        } else if (arg == "--workdir") {
            settings.workdir = value();
        } else if (arg == "--only") {
            std::istringstream names(value());
            for (std::string name; std::getline(names, name, ',');)
                if (!name.empty()) only.push_back(name);
        } else if (arg == "--list") {
            for (const Comparison& c : comparisons())
                std::cout << c.name << "\t" << c.about << "\n";
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            throw UsageError("unknown argument " + arg);
        }
    }
    for (const std::string& name : only) {
        if (std::none_of(comparisons().begin(), comparisons().end(),
                         [&](const Comparison& c) { return c.name == name; }))
            throw UsageError("no comparison named " + name + " (see --list)");
    }
    settings.self = selfPath();
    installInterruptHandler();

    std::cout << "kvi-bench " << now() << ": " << settings.rounds << " rounds, median; "
              << std::thread::hardware_concurrency() << " cores; load " << loadAverage()
              << "; page cache warm; workdir " << settings.workdir << std::endl;
    if (loadOverOneMinute() > std::thread::hardware_concurrency())
        std::cout << "warning: the machine is busy (load above its core count)" << std::endl;
    std::cout << "images:" << std::endl;
    BenchImages images = prepareImages(settings.workdir, std::cout);
    std::cout << "  " << images.raw << " " << fileSize(images.raw) / (1 << 20) << " MiB; .gz "
              << fileSize(images.gz) / (1 << 20) << " MiB; .xz " << fileSize(images.xz) / (1 << 20)
              << " MiB; .zip " << fileSize(images.zip) / (1 << 20) << " MiB; .zst "
              << fileSize(images.zst) / (1 << 20) << " MiB; " << images.large
              << " " << fileSize(images.large) / (1 << 20) << " MiB" << std::endl;
    std::cout << "ours: one process of this program per run (kvi-bench --child ...); tools: the "
                 "command as shown; both timed as whole processes\n"
              << std::endl;

    Bench bench(settings, images);
    printTableHeader(std::cout);
    for (const Comparison& comparison : comparisons()) {
        if (!only.empty() && std::find(only.begin(), only.end(), comparison.name) == only.end())
            continue;
        try {
            comparison.run(bench);
        } catch (const std::exception& failure) {
            std::string reason = failure.what();
            std::replace(reason.begin(), reason.end(), '\n', ' ');
            bench.add(noFigureRow(comparison.name, Verdict::Error, reason));
        }
    }
    std::cout << "load at the end: " << loadAverage() << std::endl;
    return printSummary(std::cout, bench.rows()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return runMeasuringMode(std::vector<std::string>(argv + 2, argv + argc));
    try {
        return benchmark(argc, argv);
    } catch (const UsageError& failure) {
        std::cerr << "kvi-bench: " << failure.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& failure) {
        std::cerr << "kvi-bench: " << failure.what() << "\n";
        return 2;
    }
}
