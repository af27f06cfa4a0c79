#include "app/catalogue/recommender.hpp"

#include <gtest/gtest.h>

#include <set>

namespace korvex {
namespace {

const ProcessorInventory kInventory = ProcessorInventory::load();

ImageVariant image(const char* id, const char* b, const char* d,
                   std::optional<std::string> p = "tower", const char* a = "x86_64") {
    return {.id = id, .name = id, .releaseDate = d, .product = p, .board = b, .architecture = a};
}

Catalogue catalogue() {
    const char *iris = "amd64-korvex_iris", *apu = "amd64-korvex_apu", *dev = "device-board";
    Catalogue c;
    c.images = {image("iris-old", iris, "2025-01-10"),
                image("iris-new", iris, "2025-03-02"),
                image("iris-retired", iris, "2026-01-01"),
                image("iris-nomad", iris, "2026-01-01", "nomad"),
                image("iris-arm", iris, "2026-01-01", "tower", "aarch64"),
                image("slim", "amd64-korvex_slim", "2024-12-01"),
                image("apu-first", apu, "2025-02-01"),
                image("apu-second", apu, "2025-02-01"),
                image("apu-older", apu, "2024-02-01"),
                image("dev-x86", dev, "2023-01-01"),
                image("dev-arm", dev, "2023-01-01", "tower", "aarch64"),
                image("untagged", iris, "2027-01-01", std::nullopt)};
    c.images[2].retired = true;
    c.images[1].retired = false;
    return c;
}

struct Outcome {
    std::string image;  // id, or "-" for none
    std::string reason;
    bool trial = true;
    friend bool operator==(const Outcome&, const Outcome&) = default;
    friend std::ostream& operator<<(std::ostream& o, const Outcome& v) {
        return o << "(" << v.image << ", " << v.reason << ", " << v.trial << ")";
    }
};
const auto none = [](const char* reason) { return Outcome{"-", reason}; };
const Outcome kIris{"iris-new", "intel-trial"}, kSlim{"slim", "intel-trial"},
    kApu{"apu-first", "amd-trial"}, kExact{"dev-x86", "exact", false};

Outcome recommend(const std::string& cpu, const std::string& graphics,
                  const std::optional<Catalogue>& c = catalogue(),
                  const std::optional<DeviceProfile>& host = std::nullopt) {
    Recommendation r = Recommender::recommend(cpu, graphics, c, kInventory, host);
    return {r.image ? r.image->id : "-", r.reason, r.trial};
}

DeviceProfile hostWith(const std::string& cpu, std::vector<std::string> gpus = {}) {
    return DeviceProfile{"LENOVO", "20XW0055GE", cpu, std::move(gpus), false};
}

// Catches a family answered wrongly, a length counted in bytes, and an exclusion checked too late.
TEST(Recommender, EachProcessorAndGraphicsChoiceGetsItsFamilysAnswer) {
    const std::string padded = "Intel Core i5-1135G7" + std::string(140, ' ');
    std::string accented = "N4020 ";  // 145 characters a user sees, 423 bytes
    for (int i = 0; i < 139; ++i) accented += "e\u0301";
    const Outcome unknown = none("unknown"), legacy = none("legacy"), gone = none("discrete");
    const std::pair<std::string, Outcome> integrated[] = {
        {"RK3399", unknown},     {"Some CPU 9000", unknown}, {"", unknown},
        {padded, kIris},         {padded + " ", unknown},    {accented, kSlim},
        {"i5-12400F", gone},     {"i5-1135G7", kIris},       {"i7-8086K", kIris},
        {"i9-14900K", kIris},    {"i7-4770", legacy},        {"i3-2100", legacy},
        {"J1900", unknown},      {"N4020", kSlim},           {"N4500", unknown},
        {"N100", kIris},         {"4415U", kIris},           {"m3-7Y30", kIris},
        {"Ultra 7 155H", kIris}, {"Ultra 7 258V", unknown},  {"6800H", kApu},
        {"3000G", unknown}};
    for (const auto& [cpu, expected] : integrated)
        EXPECT_EQ(recommend(cpu, "integrated"), expected) << cpu;
    const struct {
        const char *cpu, *graphics;
        Outcome expected;
    } others[] = {{"i5-1135G7", "nvidia", none("nvidia")},
                  {"6800H", "nvidia", none("nvidia")},
                  {"6800H", "Nvidia", kApu},  // graphics values are exact text
                  {"i9-7980XE", "unknown", gone},
                  {"i5-1135G7", "unknown", {"iris-new", "intel-unknown"}},
                  {"N4020", "unknown", {"slim", "intel-unknown"}},
                  {"6800H", "unknown", {"apu-first", "amd-unknown"}},
                  {"i5-1135G7", "amd", kApu},
                  {"3000G", "amd", kApu}};
    for (const auto& c : others)
        EXPECT_EQ(recommend(c.cpu, c.graphics), c.expected) << c.cpu << " / " << c.graphics;

    // What the host itself shows: Apple silicon, ARM processors, NVIDIA devices in any case.
    DeviceProfile apple = hostWith("i5-1135G7");
    apple.appleSilicon = true;
    EXPECT_EQ(recommend("nonsense", "nvidia", std::nullopt, apple), none("catalogue"));
    EXPECT_EQ(recommend("i5-1135G7", "integrated", catalogue(), apple), none("arm"));
    for (const char* cpu : {"Qualcomm Snapdragon X Elite", "Rockchip RK3588", "rk3566 board",
                            "Apple M2 Pro", "snapdragon 8cx"}) {
        EXPECT_EQ(recommend(cpu, "integrated"), none("arm")) << cpu;
        EXPECT_EQ(recommend(cpu, "amd", catalogue(), hostWith(cpu)), none("arm")) << cpu;
    }
    for (const char* gpu : {"NVIDIA Corporation TU117M", "nvidia corporation tu117m"})
        EXPECT_EQ(recommend("6800H", "unknown", catalogue(), hostWith("x", {"Intel UHD", gpu})),
                  none("nvidia"));
    const DeviceProfile nvidia = hostWith("x", {"NVIDIA Corporation TU117M"});
    EXPECT_EQ(recommend("i5-1135G7", "integrated", catalogue(), nvidia),
              (Outcome{"iris-new", "disable-nvidia"}));
    EXPECT_EQ(recommend("N4020", "integrated", catalogue(), nvidia), kSlim);
    EXPECT_EQ(recommend("6800H", "integrated", catalogue(), nvidia), kApu);
}

// Catches a pick other than the newest active tower x86_64 image, or unstable on equal dates.
TEST(Recommender, BoardPickTakesTheNewestTowerImageStably) {
    Catalogue swapped = catalogue(), noIris = catalogue(), textDates = catalogue();
    std::swap(swapped.images[6], swapped.images[7]);
    EXPECT_EQ(recommend("6800H", "integrated", swapped), (Outcome{"apu-second", "amd-trial"}));
    std::erase_if(noIris.images, [](auto& v) { return v.id == "iris-old" || v.id == "iris-new"; });
    EXPECT_EQ(recommend("i5-1135G7", "integrated", noIris), none("catalogue"));
    EXPECT_EQ(recommend("6800H", "integrated", Catalogue{}), none("catalogue"));
    textDates.images[0].releaseDate = "2025-9-1";  // dates compare as text
    EXPECT_EQ(recommend("i5-1135G7", "integrated", textDates),
              (Outcome{"iris-old", "intel-trial"}));
}

// Catches a rule for another text than the host's, a wrong winner or tie, an unusable image named.
TEST(Recommender, CatalogueRulesDecideOnlyForTheHostItself) {
    const std::string cpu = "Intel Core i5-1135G7";
    const DeviceProfile host = hostWith(cpu);
    const HardwareRule::Condition lenovo{"manufacturer", "equals", "lenovo"},
        thinkpad{"model", "matches", "^20XW"}, mac{"model", "contains", "MacBook"},
        board{"board", "equals", "amd64-korvex_iris"}, pci{"gpuPciIds", "contains", "8086"};
    auto r = [](const char* image, std::int64_t priority, std::vector<HardwareRule::Condition> all,
                const char* confidence = "exact") {
        return HardwareRule{"r", image, priority, confidence, std::move(all)};
    };
    auto with = [](std::vector<HardwareRule> rules) {
        Catalogue c = catalogue();
        c.rules = std::move(rules);
        return c;
    };
    const Catalogue ordered = with({r("slim", 100, {lenovo}), r("dev-x86", 900, {lenovo, thinkpad}),
                                    r("apu-first", 950, {lenovo, mac})});
    EXPECT_EQ(recommend(cpu, "integrated", ordered, host), kExact);
    EXPECT_EQ(recommend(cpu, "amd", ordered, host), kExact);
    EXPECT_EQ(recommend(cpu + " ", "integrated", ordered, host), kIris);
    EXPECT_EQ(recommend(cpu, "integrated", ordered), kIris);
    EXPECT_EQ(recommend("Some CPU 9000", "integrated", ordered, hostWith("Some CPU 9000")),
              none("unknown"));
    const Outcome unknown = none("unknown");
    const std::pair<std::vector<HardwareRule>, Outcome> cases[] = {
        {{r("dev-x86", 900, {lenovo}), r("slim", 900, {thinkpad})}, unknown},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad})}, kExact},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad}, "likely")}, unknown},
        {{r("dev-x86", 900, {lenovo}, "likely")}, unknown},
        {{r("slim", 10, {lenovo}, "likely"), r("dev-x86", 20, {lenovo})}, kExact},
        {{r("dev-arm", 900, {lenovo})}, unknown},
        {{r("iris-retired", 900, {lenovo})}, unknown},
        {{r("missing", 900, {lenovo})}, unknown},
        {{r("dev-x86", 900, {board}), r("dev-x86", 900, {lenovo, pci})}, kIris},
        {{r("dev-x86", 1, {})}, kExact}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(recommend(cpu, "integrated", with(cases[i].first), host), cases[i].second) << i;
}

// Catches a case-sensitive test, a condition holding on an absent value, endless backtracking.
TEST(Recommender, ConditionsIgnoreCaseAndNeedAHostValue) {
    DeviceProfile host{"Apple", "Macmini9,1", "Straße CPU", {}, false};
    auto holds = [&](const std::string& text) {
        const std::size_t a = text.find(' '), b = text.find(' ', a + 1);
        return Recommender::holds(
            {text.substr(0, a), text.substr(a + 1, b - a - 1), text.substr(b + 1)}, host);
    };
    const std::pair<const char*, bool> cases[] = {
        {"model equals macmini9,1", 1},   {"model equals macmini9", 0},
        {"manufacturer contains PPL", 1}, {"cpu contains STRASSE", 1},
        {"cpu contains Intel", 0},        {"cpu matches ^straße", 1},
        {"model matches mini[0-9]", 1},   {"model matches ^mini", 0},
        {"model matches (unclosed", 0},   {"model Equals Macmini9,1", 0},
        {"Model equals Macmini9,1", 0},   {"board equals ", 0},
        {"gpuPciIds contains ", 0}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(holds(text), expected) << text;
    host.model = "MacBookPro18,3";
    EXPECT_TRUE(holds("model matches ^MacBookPro1[5-8],"));
    host.model = "";
    EXPECT_FALSE(holds("model contains ") || holds("model matches .*"));
    host.model = std::string(40, 'a') + "!";  // 2^40 steps of backtracking: the match limit ends it
    EXPECT_FALSE(holds("model matches ^(a|a)*$"));
    EXPECT_TRUE(holds("model matches ^a+!$"));
}

// Catches two reasons sharing a text, an untranslated text, an unknown key without the fallback.
TEST(Recommender, EachReasonHasItsOwnTextInBothLanguages) {
    for (bool chinese : {false, true}) {
        std::set<std::string> seen{reasonText("unknown", chinese)};
        for (const char* key :
             {"arm", "nvidia", "discrete", "legacy", "intel-unknown", "amd-unknown",
              "disable-nvidia", "exact", "intel-trial", "catalogue"}) {
            EXPECT_TRUE(seen.insert(reasonText(key, chinese)).second) << key;
            EXPECT_NE(reasonText(key, chinese), reasonText(key, !chinese)) << key;
        }
        EXPECT_EQ(reasonText("amd-trial", chinese), reasonText("intel-trial", chinese));
        for (const char* key : {"no-such-key", "", "Exact"})
            EXPECT_EQ(reasonText(key, chinese), reasonText("unknown", chinese)) << key;
    }
}

}  // namespace
}  // namespace korvex
