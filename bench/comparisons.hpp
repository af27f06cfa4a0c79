// The comparisons the benchmark makes, each a small function that measures one operation of ours
// against a standard tool (or a limit) and adds its rows.
//
// Adding one: write a function taking a Bench&, measure with Bench::interleave (or by hand for
// something that is not a time ratio), add rows with Bench::add, and list it in comparisons().
// Not thread safe; the comparisons run one after another.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_images.hpp"
#include "bench/bench_report.hpp"
#include "core/records/records.hpp"

namespace korvex::bench {

struct Settings {
    int rounds = 5;
    std::string workdir = "/var/tmp/kvi-bench";
    std::string self;  // this program, for its measuring modes
};

// One timed run: wall seconds, and the "key=value" results of a measuring mode, or for a tool
// "sha256" when it printed a digest.
struct Measured {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system time, which other work on the machine disturbs less
    std::map<std::string, std::string> results;
};

class Bench {
  public:
    Bench(Settings settings, BenchImages images);

    const Settings& settings() const { return settings_; }
    const BenchImages& images() const { return images_; }

    // One run of a measuring mode of this program (see measuring_modes.hpp).
    Measured ours(const std::vector<std::string>& modeArguments) const;
    // One run of a standard tool, executed directly.
    Measured tool(const std::vector<std::string>& argv) const;
    // One run of a tool pipeline, through bash -o pipefail.
    Measured pipeline(const std::string& script) const;

    // Runs `a` and `b` once each unmeasured (warm caches), then settings().rounds times in turn,
    // a b a b ...; returns every measured run of each.
    struct Runs {
        std::vector<Measured> a, b;
    };
    Runs interleave(const std::function<Measured()>& a, const std::function<Measured()>& b) const;

    // The Inspection of an image by our own inspect, computed once per image.
    const Inspection& inspection(const std::string& image);

    // Adds a row and prints it at once.
    void add(Row row);
    const std::vector<Row>& rows() const { return rows_; }

  private:
    Settings settings_;
    BenchImages images_;
    std::map<std::string, Inspection> inspections_;
    std::vector<Row> rows_;
};

// Seconds of the named result over runs ("" = the wall time).
std::vector<double> secondsOf(const std::vector<Measured>& runs, const std::string& key = {});
// CPU seconds over runs.
std::vector<double> cpuSecondsOf(const std::vector<Measured>& runs);

// "cpu 0.31/0.29 s": the medians of the CPU times of both sides, for a row's note.
std::string cpuNote(const std::vector<Measured>& ours, const std::vector<Measured>& tool);

struct Comparison {
    std::string name;   // what --only selects
    std::string about;  // one line for --list
    std::function<void(Bench&)> run;
};

// Every comparison, in the order they run.
const std::vector<Comparison>& comparisons();

}  // namespace korvex::bench
