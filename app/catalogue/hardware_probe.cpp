#include "app/catalogue/hardware_probe.hpp"

#include "core/base/ascii_text.hpp"
#include "core/base/utf8_text.hpp"
#include "core/records/json_fields.hpp"

namespace korvex {
namespace {

// What one source of the facts gives; empty when it cannot be read, so its field stays empty.
template <typename Read>
std::string orEmpty(Read read) {
    try {
        return read();
    } catch (...) {
        return {};
    }
}

// Splits one "lspci -mm" line into its fields: the slot, then quoted texts and bare options.
std::vector<std::string_view> machineFields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        if (line[i] == '"') {
            // lspci does not escape quotes inside names: a quoted text ends at the quote that is
            // followed by the end of the line or by a blank and the next field (a quote or an
            // option), so a name with quotes inside it still reads whole.
            std::size_t end = i + 1;
            while (true) {
                end = line.find('"', end);
                if (end == std::string_view::npos) return {};
                if (end + 1 == line.size()) break;
                if (line[end + 1] == ' ' &&
                    (end + 2 == line.size() || line[end + 2] == '"' || line[end + 2] == '-'))
                    break;
                ++end;
            }
            out.push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            std::size_t end = line.find(' ', i);
            if (end == std::string_view::npos) end = line.size();
            // Options such as -r02 and -p00 sit between the quoted fields; they are not names.
            if (!out.empty() && line[i] == '-') {
                i = end;
                continue;
            }
            out.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return out;
}

// Drops a trailing numeric id " [xxxx]" that "-nn" adds; returns the id, or empty.
std::string_view splitId(std::string_view& text) {
    if (text.size() >= 7 && text.back() == ']' && text[text.size() - 7] == ' ' &&
        text[text.size() - 6] == '[') {
        std::string_view id = text.substr(text.size() - 5, 4);
        if (isHexText(id)) {
            text = trimAscii(text.substr(0, text.size() - 7));
            return id;
        }
    }
    return {};
}

bool isDisplayClass(std::string_view className) {
    std::string_view code = splitId(className);
    if (!code.empty()) return code == "0300" || code == "0302" || code == "0380";
    // Without numeric ids the class is named; these are the names of 0300, 0302 and 0380.
    return className == "VGA compatible controller" || className == "3D controller" ||
           className == "Display controller";
}

}  // namespace

std::string HardwareProbe::cpuModelName(std::string_view cpuinfo) {
    std::size_t start = 0;
    while (start < cpuinfo.size()) {
        std::size_t end = cpuinfo.find('\n', start);
        if (end == std::string_view::npos) end = cpuinfo.size();
        std::string_view line = cpuinfo.substr(start, end - start);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && trimAscii(line.substr(0, colon)) == "model name") {
            return std::string(trimAscii(line.substr(colon + 1)));
        }
        start = end + 1;
    }
    return {};
}

std::string HardwareProbe::lscpuModelName(std::string_view output) {
    try {
        const json::Json document = json::parse(output);
        const json::Json* top = json::member(document, "lscpu");
        if (top == nullptr || !top->is_array()) return {};
        // Depth first, in order: with --hierarchic the model sits under its "Vendor ID:".
        std::vector<const json::Json*> pending;
        for (auto it = top->rbegin(); it != top->rend(); ++it) pending.push_back(&*it);
        while (!pending.empty()) {
            const json::Json* entry = pending.back();
            pending.pop_back();
            const auto field = json::textMember(*entry, "field");
            const auto data = json::textMember(*entry, "data");
            if (field && data && trimAscii(*field) == "Model name:") {
                const std::string_view name = trimAscii(*data);
                if (!name.empty() && name != "-") return repairUtf8(name);
            }
            const json::Json* children = json::member(*entry, "children");
            if (children != nullptr && children->is_array())
                for (auto it = children->rbegin(); it != children->rend(); ++it)
                    pending.push_back(&*it);
        }
    } catch (...) {
        // Not lscpu's document: no model name.
    }
    return {};
}

std::vector<std::string> HardwareProbe::displayControllers(std::string_view output) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        auto parts = machineFields(trimAscii(output.substr(start, end - start)));
        start = end + 1;
        // slot, class, vendor, device, then subsystem fields
        if (parts.size() < 4 || !isDisplayClass(parts[1])) continue;
        std::string_view vendor = parts[2];
        std::string_view device = parts[3];
        splitId(vendor);
        splitId(device);
        std::string name(trimAscii(vendor));
        device = trimAscii(device);
        if (!device.empty()) {
            if (!name.empty()) name += ' ';
            name.append(device);
        }
        if (!name.empty()) names.push_back(repairUtf8(name));
    }
    return names;
}

bool HardwareProbe::isArmMachine(std::string_view machine) {
    return machine == "aarch64" || machine == "arm64";
}

DeviceProfile HardwareProbe::detect() {
    return detect(SystemFacts::system());
}

DeviceProfile HardwareProbe::detect(SystemFacts& facts) {
    DeviceProfile profile;
    const auto dmi = [&](const char* name) {
        const std::string text = repairUtf8(orEmpty([&] { return facts.dmiAttribute(name); }));
        return std::string(trimAscii(text));
    };
    profile.manufacturer = dmi("sys_vendor");
    profile.model = dmi("product_name");
    profile.cpu = cpuModelName(repairUtf8(orEmpty([&] { return facts.cpuinfo(); })));
    profile.appleSilicon = isArmMachine(orEmpty([&] { return facts.machine(); }));
    if (profile.cpu.empty() && profile.appleSilicon) {
        // lscpu missing or failing gives the generic name.
        profile.cpu = lscpuModelName(orEmpty([&] { return facts.processorDescription(); }));
        if (profile.cpu.empty()) profile.cpu = "ARM processor";
    }
    try {
        profile.gpuNames = displayControllers(facts.pciDevices());
    } catch (...) {
        // lspci missing, failing, slow or too talkative: no graphics names, the rest stands.
        profile.gpuNames.clear();
    }
    return profile;
}

}  // namespace korvex
