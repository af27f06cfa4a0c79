#include "app/catalogue/recommender.hpp"

#include <algorithm>
#include <array>

#include "app/catalogue/pattern.hpp"
#include "app/catalogue/unicode_text.hpp"
#include "core/base/graphemes.hpp"

namespace korvex {
namespace {

constexpr std::size_t kMaxCpuCharacters = 160;

constexpr std::array<std::string_view, 15> kOlderIntelN = {
    "N3000", "N3050", "N3150", "N3160", "N3350", "N3450", "N3700", "N3710",
    "N4000", "N4020", "N4100", "N4120", "N4200", "N5000", "N5030"};
constexpr std::array<std::string_view, 3> kExtraModernIntel = {"N100", "4205U", "4415U"};

constexpr std::string_view kIrisBoard = "amd64-korvex_iris";
constexpr std::string_view kSlimBoard = "amd64-korvex_slim";
constexpr std::string_view kApuBoard = "amd64-korvex_apu";

const Pattern& armProcessor() {
    static const Pattern p("APPLE|SNAPDRAGON|QUALCOMM|ROCKCHIP|RK35[0-9]{2}");
    return p;
}
const Pattern& nvidia() {
    static const Pattern p("NVIDIA");
    return p;
}
const Pattern& withoutGraphics() {
    static const Pattern p("^I[3579]-[0-9]{4,5}(F|KF|X|XE)$");
    return p;
}
const Pattern& modernCore() {
    static const Pattern p("^I[3579]-([6-9][0-9]{3}|1[0-4][0-9]{2,3})[A-Z0-9]*$");
    return p;
}
const Pattern& modernCoreM() {
    static const Pattern p("^M[357]-[67]Y[0-9]{2}$");
    return p;
}
const Pattern& coreUltra() {
    static const Pattern p("CORE ULTRA [579] 1[0-9]{2}[HU]$");
    return p;
}
const Pattern& legacyCore() {
    static const Pattern p("^I[3579]-[2-5][0-9]{3}");
    return p;
}

template <std::size_t N>
bool oneOf(const std::array<std::string_view, N>& table, std::string_view value) {
    return std::find(table.begin(), table.end(), value) != table.end();
}

Recommendation none(std::string reason) {
    return Recommendation{std::nullopt, std::move(reason), true};
}

bool anyNvidia(const std::optional<DeviceProfile>& host) {
    if (!host) return false;
    return std::any_of(host->gpuNames.begin(), host->gpuNames.end(),
                       [](const std::string& name) { return nvidia().search(name); });
}

// The newest non-retired "tower" x86_64 image of `board`; equal dates keep catalogue order.
Recommendation boardPick(const Catalogue& catalogue, std::string_view board, std::string reason) {
    std::vector<const ImageVariant*> candidates;
    for (const auto& image : catalogue.images) {
        if (image.retired == true) continue;
        if (image.board == board && image.product == "tower" && image.architecture == "x86_64")
            candidates.push_back(&image);
    }
    if (candidates.empty()) return none("catalogue");
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const ImageVariant* a, const ImageVariant* b) {
                         return a->releaseDate > b->releaseDate;
                     });
    return Recommendation{*candidates.front(), std::move(reason), true};
}

// The catalogue's rules for the host itself; nullopt when no rule is selected.
std::optional<Recommendation> byRules(const Catalogue& catalogue, const DeviceProfile& host) {
    std::vector<const HardwareRule*> selected;
    for (const auto& rule : catalogue.rules) {
        bool all = std::all_of(rule.all.begin(), rule.all.end(),
                               [&](const auto& c) { return Recommender::holds(c, host); });
        if (all) selected.push_back(&rule);
    }
    if (selected.empty()) return std::nullopt;
    std::stable_sort(
        selected.begin(), selected.end(),
        [](const HardwareRule* a, const HardwareRule* b) { return a->priority > b->priority; });
    const HardwareRule& top = *selected.front();
    for (const HardwareRule* rule : selected) {
        if (rule->priority != top.priority) break;
        if (rule->imageId != top.imageId || rule->confidence != "exact") return none("unknown");
    }
    for (const auto& image : catalogue.images) {
        if (image.retired == true) continue;
        if (image.id == top.imageId && image.architecture == "x86_64")
            return Recommendation{image, "exact", false};
    }
    return none("unknown");
}

}  // namespace

bool Recommender::holds(const HardwareRule::Condition& condition, const DeviceProfile& host) {
    const std::string* value = nullptr;
    if (condition.field == "manufacturer") {
        value = &host.manufacturer;
    } else if (condition.field == "model") {
        value = &host.model;
    } else if (condition.field == "cpu") {
        value = &host.cpu;
    }
    // "board" and "gpuPciIds" are accepted by the catalogue, but no host value carries them.
    if (value == nullptr || value->empty()) return false;

    if (condition.operator_ == "equals")
        return unicode::foldCase(*value) == unicode::foldCase(condition.value);
    if (condition.operator_ == "contains")
        return unicode::foldCase(*value).find(unicode::foldCase(condition.value)) !=
               std::string::npos;
    if (condition.operator_ == "matches") {
        auto pattern = Pattern::compile(condition.value);
        return pattern && pattern->search(*value);
    }
    return false;
}

Recommendation Recommender::recommend(std::string_view cpu, std::string_view graphics,
                                      const std::optional<Catalogue>& catalogue,
                                      const ProcessorInventory& inventory,
                                      const std::optional<DeviceProfile>& host) {
    if (!catalogue) return none("catalogue");
    if (host && host->appleSilicon) return none("arm");
    if (armProcessor().search(cpu)) return none("arm");
    if (graphics == "nvidia") return none("nvidia");
    if (graphics == "unknown" && anyNvidia(host)) return none("nvidia");

    if (graphemeCount(cpu, kMaxCpuCharacters + 1) > kMaxCpuCharacters) return none("unknown");
    std::optional<ProcessorName> found = inventory.canonical(cpu);
    if (!found) return none("unknown");
    const std::string name = unicode::upper(found->name);
    const std::string model = unicode::upper(found->model);

    if (host && host->cpu == cpu) {
        if (auto byRule = byRules(*catalogue, *host)) return *byRule;
    }

    const bool unknownGraphics = graphics == "unknown";
    if (graphics == "amd") return boardPick(*catalogue, kApuBoard, "amd-trial");
    if (name.starts_with("AMD RYZEN "))
        return boardPick(*catalogue, kApuBoard, unknownGraphics ? "amd-unknown" : "amd-trial");
    if (name.starts_with("INTEL ")) {
        if (oneOf(kOlderIntelN, model))
            return boardPick(*catalogue, kSlimBoard,
                             unknownGraphics ? "intel-unknown" : "intel-trial");
        if (withoutGraphics().search(model)) return none("discrete");
        if (modernCore().search(model) || modernCoreM().search(model) ||
            oneOf(kExtraModernIntel, model) || coreUltra().search(name)) {
            std::string reason = unknownGraphics   ? "intel-unknown"
                                 : anyNvidia(host) ? "disable-nvidia"
                                                   : "intel-trial";
            return boardPick(*catalogue, kIrisBoard, std::move(reason));
        }
        return none(legacyCore().search(model) ? "legacy" : "unknown");
    }
    return none("unknown");
}

}  // namespace korvex
