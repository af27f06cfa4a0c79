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

// "image reason", with " sure" when the image is more than a trial; "-" for no image.
std::string recommend(const std::string& cpu, const std::string& graphics,
                      const std::optional<Catalogue>& c = catalogue(),
                      const DeviceProfile* host = nullptr) {
    Recommendation r = Recommender::recommend(cpu, graphics, c, kInventory,
                                              host ? std::optional(*host) : std::nullopt);
    return (r.image ? r.image->id : "-") + " " + r.reason + (r.trial ? "" : " sure");
}

DeviceProfile hostWith(const std::string& cpu, std::vector<std::string> gpus = {}) {
    return DeviceProfile{"LENOVO", "20XW0055GE", cpu, std::move(gpus), false};
}

const char *kIris = "iris-new intel-trial", *kSlim = "slim intel-trial",
           *kApu = "apu-first amd-trial", *kExact = "dev-x86 exact sure", *kUnknown = "- unknown";

// Catches a family answered wrongly, a length counted in bytes, an exclusion checked too late.
TEST(Recommender, EachProcessorAndGraphicsChoiceGetsItsFamilysAnswer) {
    const std::string padded = "Intel Core i5-1135G7" + std::string(140, ' ');
    std::string accented = "N4020 ";  // 145 characters a user sees, 423 bytes
    for (int i = 0; i < 139; ++i) accented += "e\u0301";
    const char *unknown = kUnknown, *legacy = "- legacy", *gone = "- discrete";
    const std::pair<std::string, const char*> integrated[] = {
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

    DeviceProfile apple = hostWith("i5-1135G7"), nvidia = hostWith("x", {"Intel", "nvidia corp"});
    apple.appleSilicon = true;
    const struct {
        const char *cpu, *graphics;
        const DeviceProfile* host;
        const char* expected;
    } others[] = {{"6800H", "nvidia", nullptr, "- nvidia"},
                  {"6800H", "Nvidia", nullptr, kApu},  // graphics values are exact text
                  {"i9-7980XE", "unknown", nullptr, gone},
                  {"i5-1135G7", "unknown", nullptr, "iris-new intel-unknown"},
                  {"N4020", "unknown", nullptr, "slim intel-unknown"},
                  {"6800H", "unknown", nullptr, "apu-first amd-unknown"},
                  {"3000G", "amd", nullptr, kApu},
                  {"i5-1135G7", "integrated", &apple, "- arm"},
                  {"Qualcomm Snapdragon X", "nvidia", nullptr, "- arm"},
                  {"rk3566", "amd", nullptr, "- arm"},
                  {"6800H", "unknown", &nvidia, "- nvidia"},
                  {"i5-1135G7", "integrated", &nvidia, "iris-new disable-nvidia"},
                  {"N4020", "integrated", &nvidia, kSlim}};
    for (const auto& c : others)
        EXPECT_EQ(recommend(c.cpu, c.graphics, catalogue(), c.host), c.expected) << c.cpu;
    EXPECT_EQ(recommend("nonsense", "nvidia", std::nullopt, &apple), "- catalogue");
}

// Catches a pick other than the newest active tower x86_64 image, or unstable on equal dates.
TEST(Recommender, BoardPickTakesTheNewestTowerImageStably) {
    Catalogue swapped = catalogue(), noIris = catalogue();
    std::swap(swapped.images[6], swapped.images[7]);
    EXPECT_EQ(recommend("6800H", "integrated", swapped), "apu-second amd-trial");
    std::erase_if(noIris.images, [](auto& v) { return v.id == "iris-old" || v.id == "iris-new"; });
    EXPECT_EQ(recommend("i5-1135G7", "integrated", noIris), "- catalogue");
}

// Catches a rule for another text than the host's, a wrong winner or tie, an unusable image named.
TEST(Recommender, CatalogueRulesDecideOnlyForTheHostItself) {
    const std::string cpu = "Intel Core i5-1135G7";
    const DeviceProfile host = hostWith(cpu);
    const HardwareRule::Condition lenovo{"manufacturer", "equals", "lenovo"},
        thinkpad{"model", "matches", "^20XW"}, mac{"model", "contains", "MacBook"},
        board{"board", "equals", "amd64-korvex_iris"};
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
    EXPECT_EQ(recommend(cpu, "amd", one, &host), kExact);
    EXPECT_EQ(recommend(cpu + " ", "integrated", one, &host), kIris);
    EXPECT_EQ(recommend(cpu, "integrated", one), kIris);
    const std::pair<std::vector<HardwareRule>, const char*> cases[] = {
        {{r("slim", 100, {lenovo}), r("dev-x86", 900, {thinkpad}), r("slim", 950, {mac})}, kExact},
        {{r("dev-x86", 900, {lenovo}), r("slim", 900, {thinkpad})}, kUnknown},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad})}, kExact},
        {{r("dev-x86", 900, {lenovo}), r("dev-x86", 900, {thinkpad}, "likely")}, kUnknown},
        {{r("slim", 10, {lenovo}, "likely"), r("dev-x86", 20, {lenovo})}, kExact},
        {{r("dev-arm", 900, {lenovo})}, kUnknown},
        {{r("iris-retired", 900, {lenovo})}, kUnknown},
        {{r("missing", 900, {lenovo})}, kUnknown},
        {{r("dev-x86", 900, {board, lenovo})}, kIris},
        {{r("dev-x86", 1, {})}, kExact}};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(recommend(cpu, "integrated", with(cases[i].first), &host), cases[i].second) << i;
}

// Catches a case-sensitive test, a condition holding on an absent value, endless backtracking.
TEST(Recommender, ConditionsIgnoreCaseAndNeedAHostValue) {
    DeviceProfile host{"Apple", "Macmini9,1", "Straße CPU", {}, false};
    auto holds = [&](const std::string& text) {
        const std::size_t a = text.find(' '), b = text.find(' ', a + 1);
        return Recommender::holds(
            {text.substr(0, a), text.substr(a + 1, b - a - 1), text.substr(b + 1)}, host);
    };
    const std::pair<const char*, bool> cases[] = {{"model equals macmini9,1", 1},
                                                  {"model equals macmini9", 0},
                                                  {"manufacturer contains PPL", 1},
                                                  {"cpu contains STRASSE", 1},
                                                  {"cpu matches ^straße", 1},
                                                  {"model matches mini[0-9]", 1},
                                                  {"model matches ^mini", 0},
                                                  {"model matches (unclosed", 0},
                                                  {"model Equals Macmini9,1", 0},
                                                  {"Model equals Macmini9,1", 0},
                                                  {"board equals x", 0}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(holds(text), expected) << text;
    host.model = "";
    EXPECT_FALSE(holds("model contains "));
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
