// Arbitrary text to the processor lookups of the shipped table, as a table and as lspci output:
// nothing may crash or run away, and every answer keeps the lookups' promises.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "app/catalogue/hardware_probe.hpp"
#include "app/catalogue/processor_inventory.hpp"

namespace {

using korvex::ProcessorInventory;
using korvex::ProcessorName;

// At most six suggestions, each containing the key; a canonical answer is a row of the table.
void check(const ProcessorInventory& table, std::string_view text) {
    const std::string key = ProcessorInventory::normal(text);
    auto suggestions = table.suggestions(text);
    if (suggestions.size() > 6) std::abort();
    for (const ProcessorName& p : suggestions)
        if (ProcessorInventory::normal(p.name).find(key) == std::string::npos &&
            ProcessorInventory::normal(p.model).find(key) == std::string::npos)
            std::abort();
    if (auto found = table.canonical(text)) {
        const auto& rows = table.entries();
        if (key.empty() || std::find(rows.begin(), rows.end(), *found) == rows.end()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ProcessorInventory shipped = ProcessorInventory::load();
    if (shipped.entries().empty()) std::abort();  // the fuzzer must run against the real table
    std::string_view text(reinterpret_cast<const char*>(data), size);
    check(shipped, text);
    ProcessorInventory table(text);
    for (const ProcessorName& p : table.entries())  // rows never hold a tab or an empty field
        if (p.name.empty() || p.model.empty() || (p.name + p.model).find('\t') != std::string::npos)
            std::abort();
    check(table, text);
    check(table, "Intel Core i5-1135G7");
    if (!table.entries().empty()) check(table, "x " + table.entries().back().model + " y");
    for (const std::string& name : korvex::HardwareProbe::displayControllers(text))
        if (name.empty() || name.find('\n') != std::string::npos) std::abort();
    korvex::HardwareProbe::cpuModelName(text);
    return 0;
}
