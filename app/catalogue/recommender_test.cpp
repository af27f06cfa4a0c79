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
    c.images = {image("iris-old", iris, "2025-01-10"), image("iris-new", iris, "2025-03-02"),
                image("iris-retired", iris, "2026-01-01"),
                image("iris-nomad", iris, "2026-01-01", "nomad"),
                image("iris-arm", iris, "2026-01-01", "tower", "aarch64"),
                image("slim", "amd64-korvex_slim", "2024-12-01"),
                image("apu-first", apu, "2025-02-01"), image("apu-second", apu, "2025-02-01"),
                image("apu-older", apu, "2024-02-01"), image("dev-x86", dev, "2023-01-01"),
                image("dev-arm", dev, "2023-01-01", "tower", "aarch64"),
                image("untagged", iris, "2027-01-01", std::nullopt)};
    c.images[2].retired = true;
    c.images[1].retired = false;
    return c;
}

// "image reason", with " sure" when the image is not a mere trial; "-" for no image.
using Outcome = std::string;
Outcome none(const char* reason) {
    return std::string("- ") + reason;
}
const Outcome kIris = "iris-new intel-trial", kSlim = "slim intel-trial", kApu = "apu-first amd-trial",
              kExact = "dev-x86 exact sure", kUnknown = none("unknown");

Outcome recommend(const std::string& cpu, const std::string& graphics,
                  const std::optional<Catalogue>& c = catalogue(),
                  const std::optional<DeviceProfile>& host = std::nullopt) {
    Recommendation r = Recommender::recommend(cpu, graphics, c, kInventory, host);
    return (r.image ? r.image->id : "-") + " " + r.reason + (r.trial ? "" : " sure");
}

DeviceProfile hostWith(const std::string& cpu, std::vector<std::string> gpus = {}) {
    return DeviceProfile{"LENOVO", "20XW0055GE", cpu, std::move(gpus), false};
}

// Catches a family answered wrongly, a length counted in bytes, an exclusion checked too late.
TEST(Recommender, EachProcessorAndGraphicsChoiceGetsItsFamilysAnswer) {
    const std::string padded = "Intel Core i5-1135G7" + std::string(140, ' ');
    std::string accented = "N4020 ";  // 145 characters a user sees, 423 bytes
    for (int i = 0; i < 139; ++i) accented += "e\u0301";
    const Outcome legacy = none("legacy"), gone = none("discrete");
    const std::pair<std::string, Outcome> integrated[] = {
        {"RK3399", kUnknown},    {"Some CPU 9000", kUnknown}, {"", kUnknown},
        {padded, kIris},         {padded + " ", kUnknown},    {accented, kSlim},
        {"i5-12400F", gone},     {"i5-1135G7", kIris},        {"i7-8086K", kIris},
        {"i9-14900K", kIris},    {"i7-4770", legacy},         {"i3-2100", legacy},
        {"J1900", kUnknown},     {"N4020", kSlim},            {"N4500", kUnknown},
        {"N100", kIris},         {"4415U", kIris},            {"m3-7Y30", kIris},
        {"Ultra 7 155H", kIris}, {"Ultra 7 258V", kUnknown},  {"6800H", kApu},
        {"3000G", kUnknown}};
    for (const auto& [cpu, expected] : integrated)
        EXPECT_EQ(recommend(cpu, "integrated"), expected) << cpu;

    DeviceProfile apple = hostWith("i5-1135G7"), nvidia = hostWith("x", {"NVIDIA Corp TU117M"});
    apple.appleSilicon = true;
    const std::optional<DeviceProfile> no;
    const struct {
        const char *cpu, *graphics;
        std::optional<DeviceProfile> host;
        Outcome expected;
    } others[] = {
        {"i5-1135G7", "nvidia", no, none("nvidia")}, {"6800H", "nvidia", no, none("nvidia")},
        {"6800H", "Nvidia", no, kApu},  // graphics values are exact text
        {"i9-7980XE", "unknown", no, gone}, {"i5-1135G7", "unknown", no, "iris-new intel-unknown"},
        {"N4020", "unknown", no, "slim intel-unknown"}, {"3000G", "amd", no, kApu},
        {"6800H", "unknown", no, "apu-first amd-unknown"}, {"i5-1135G7", "amd", no, kApu},
        {"i5-1135G7", "integrated", apple, none("arm")}, {"Apple M2", "amd", no, none("arm")},
        {"Qualcomm Snapdragon X", "nvidia", no, none("arm")}, {"rk3566", "", no, none("arm")},
        {"6800H", "unknown", hostWith("x", {"Intel", "nvidia corp"}), none("nvidia")},
        {"i5-1135G7", "integrated", nvidia, "iris-new disable-nvidia"},
        {"N4020", "integrated", nvidia, kSlim}, {"6800H", "integrated", nvidia, kApu}};
    for (const auto& c : others)
        EXPECT_EQ(recommend(c.cpu, c.graphics, catalogue(), c.host), c.expected) << c.cpu;
    EXPECT_EQ(recommend("nonsense", "nvidia", std::nullopt, apple), none("catalogue"));
}

// Catches a pick other than the newest active tower x86_64 image, or unstable on equal dates.
TEST(Recommender, BoardPickTakesTheNewestTowerImageStably) {
    Catalogue swapped = catalogue(), noIris = catalogue();
    std::swap(swapped.images[6], swapped.images[7]);
    EXPECT_EQ(recommend("6800H", "integrated", swapped), "apu-second amd-trial");
    std::erase_if(noIris.images, [](auto& v) { return v.id == "iris-old" || v.id == "iris-new"; });
    EXPECT_EQ(recommend("i5-1135G7", "integrated", noIris), none("catalogue"));
    EXPECT_EQ(recommend("6800H", "integrated", Catalogue{}), none("catalogue"));
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
    const Catalogue one = with({r("dev-x86", 900, {lenovo})});
    EXPECT_EQ(recommend(cpu, "amd", one, host), kExact);
    EXPECT_EQ(recommend(cpu + " ", "integrated", one, host), kIris);
    EXPECT_EQ(recommend(cpu, "integrated", one), kIris);
    const std::pair<std::vector<HardwareRule>, Outcome> cases[] = {
        {{r("slim", 100, {lenovo}), r("dev-x86", 900, {lenovo, thinkpad}), r("slim", 950, {mac})},
         kExact},
        {{r("dev-x86", 900, {lenovo}), r("slim", 900, {thinkpad})}, kUnknown},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad})}, kExact},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad}, "likely")}, kUnknown},
        {{r("slim", 10, {lenovo}, "likely"), r("dev-x86", 20, {lenovo})}, kExact},
        {{r("dev-x86", 900, {lenovo}, "likely")}, kUnknown}, {{r("dev-arm", 900, {lenovo})}, kUnknown},
        {{r("iris-retired", 900, {lenovo})}, kUnknown}, {{r("missing", 900, {lenovo})}, kUnknown},
        {{r("dev-x86", 900, {board}), r("dev-x86", 900, {lenovo, pci})}, kIris},
        {{r("dev-x86", 1, {})}, kExact}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(recommend(cpu, "integrated", with(cases[i].first), host), cases[i].second) << i;
}

// Catches a case-sensitive test, a condition holding on an absent value, endless backtracking.
TEST(Recommender, ConditionsIgnoreCaseAndNeedAHostValue) {
    const std::string aaa = std::string(40, 'a') + "!";  // 2^40 steps of backtracking: limit ends it
    const std::tuple<std::string, const char*, bool> cases[] = {
        {"Macmini9,1", "model equals macmini9,1", 1}, {"Macmini9,1", "model equals macmini9", 0},
        {"Macmini9,1", "manufacturer contains PPL", 1}, {"", "cpu contains STRASSE", 1},
        {"", "cpu contains Intel", 0}, {"", "cpu matches ^straße", 1},
        {"Macmini9,1", "model matches mini[0-9]", 1}, {"Macmini9,1", "model matches ^mini", 0},
        {"Macmini9,1", "model matches (unclosed", 0}, {"Macmini9,1", "model Equals Macmini9,1", 0},
        {"Macmini9,1", "Model equals Macmini9,1", 0}, {"x", "board equals ", 0},
        {"x", "gpuPciIds contains ", 0}, {"MacBookPro18,3", "model matches ^MacBookPro1[5-8],", 1},
        {"", "model contains ", 0}, {"", "model matches .*", 0},
        {aaa, "model matches ^(a|a)*$", 0}, {aaa, "model matches ^a+!$", 1}};
    for (const auto& [model, text, expected] : cases) {
        const std::string t = text;
        const std::size_t a = t.find(' '), b = t.find(' ', a + 1);
        const HardwareRule::Condition c{t.substr(0, a), t.substr(a + 1, b - a - 1), t.substr(b + 1)};
        EXPECT_EQ(Recommender::holds(c, {"Apple", model, "Straße CPU", {}, false}), expected) << t;
    }
}

// Catches two reasons sharing a text, an untranslated text, an unknown key without the fallback.
TEST(Recommender, EachReasonHasItsOwnTextInBothLanguages) {
    for (bool chinese : {false, true}) {
        std::set<std::string> seen{reasonText("unknown", chinese)};
        for (const char* key : {"arm", "nvidia", "discrete", "legacy", "intel-unknown",
                                "amd-unknown", "disable-nvidia", "exact", "intel-trial", "catalogue"}) {
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
