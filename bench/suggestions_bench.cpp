// Per-keystroke cost of the processor lookups on the shipped table: suggestions() runs on every
// edit of the processor field and must stay well under a millisecond; canonical() runs whenever a
// recommendation is worked out. Loading (normal forms and model patterns built once) is shown for
// scale.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/catalogue/processor_inventory.hpp"

namespace {

const korvex::ProcessorInventory& shipped() {
    static const korvex::ProcessorInventory table = korvex::ProcessorInventory::load();
    return table;
}

// What a user types on the way to a processor: short, broad prefixes match hundreds of rows.
const std::vector<std::string> kTyping = {"in",
                                          "intel",
                                          "Intel Core i",
                                          "i5-11",
                                          "i5-1135G7",
                                          "ryzen",
                                          "AMD Ryzen 7 68",
                                          "N100",
                                          "celeron",
                                          "Core Ultra 7",
                                          "zz",
                                          "Ｉｎｔｅｌ® Ｃｏｒｅ™"};

void BM_Suggestions(benchmark::State& state) {
    const auto& table = shipped();
    if (table.entries().empty()) state.SkipWithError("processors.tsv not found");
    const std::string& text = kTyping[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(text);
    for (auto _ : state) benchmark::DoNotOptimize(table.suggestions(text));
}
BENCHMARK(BM_Suggestions)
    ->DenseRange(0, static_cast<int>(kTyping.size()) - 1)
    ->Unit(benchmark::kMicrosecond);

void BM_Canonical(benchmark::State& state) {
    const auto& table = shipped();
    const char* texts[] = {"Intel Core i5-1135G7", "11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz",
                           "AMD Ryzen 7 6800H with Radeon Graphics", "unknown processor"};
    const char* text = texts[state.range(0)];
    state.SetLabel(text);
    for (auto _ : state) benchmark::DoNotOptimize(table.canonical(text));
}
BENCHMARK(BM_Canonical)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_Load(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(korvex::ProcessorInventory::load());
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
