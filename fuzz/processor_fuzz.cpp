// Arbitrary text to the processor lookups against the shipped table, and arbitrary bytes as a
// processor table and as lspci output. Nothing may crash or run away (the model patterns carry
// match limits), and every answer must keep the promises of the lookups: at most six suggestions,
// each containing the typed key; a canonical answer is a row of the table; rows never hold a tab
// or an empty field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/catalogue/hardware_probe.hpp"
#include "app/catalogue/processor_inventory.hpp"

namespace {

using korvex::ProcessorInventory;
using korvex::ProcessorName;

void check(const ProcessorInventory& table, std::string_view text) {
    const std::string key = ProcessorInventory::normal(text);
    auto suggestions = table.suggestions(text);
    if (suggestions.size() > 6) std::abort();
    for (const ProcessorName& p : suggestions) {
        if (ProcessorInventory::normal(p.name).find(key) == std::string::npos &&
            ProcessorInventory::normal(p.model).find(key) == std::string::npos)
            std::abort();
    }
    if (auto found = table.canonical(text)) {
        bool listed = false;
        for (const ProcessorName& p : table.entries()) listed = listed || p == *found;
        if (!listed || key.empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ProcessorInventory shipped = ProcessorInventory::load();
    if (shipped.entries().empty()) std::abort();  // the fuzzer must run against the real table
    std::string_view text(reinterpret_cast<const char*>(data), size);

    check(shipped, text);

    ProcessorInventory table(text);
    for (const ProcessorName& p : table.entries()) {
        if (p.name.empty() || p.model.empty() || p.name.find('\t') != std::string::npos ||
            p.model.find('\t') != std::string::npos)
            std::abort();
    }
    check(table, text);
    check(table, "Intel Core i5-1135G7");
    if (!table.entries().empty()) {
        check(table, table.entries().front().name);
        check(table, "x " + table.entries().back().model + " y");
    }

    for (const std::string& name : korvex::HardwareProbe::displayControllers(text)) {
        if (name.empty() || name.find('\n') != std::string::npos) std::abort();
    }
    korvex::HardwareProbe::cpuModelName(text);
    return 0;
}
