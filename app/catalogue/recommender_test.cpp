#include "app/catalogue/recommender.hpp"

#include <gtest/gtest.h>

namespace korvex {
namespace {

const ProcessorInventory kInventory(
    "Intel Core i5-1135G7\ti5-1135G7\n"
    "Intel Core i5-12400F\ti5-12400F\n"
    "Intel Core i9-7980XE\ti9-7980XE\n"
    "Intel Core i7-8086K\ti7-8086K\n"
    "Intel Core i9-14900K\ti9-14900K\n"
    "Intel Core i7-4770\ti7-4770\n"
    "Intel Core i3-2100\ti3-2100\n"
    "Intel Core 2 Duo E8400\tE8400\n"
    "Intel Celeron N4020\tN4020\n"
    "Intel Celeron N4500\tN4500\n"
    "Intel N100\tN100\n"
    "Intel Pentium 4415U\t4415U\n"
    "Intel Core m3-7Y30\tm3-7Y30\n"
    "Intel Core Ultra 7 155H\tUltra 7 155H\n"
    "Intel Core Ultra 7 258V\tUltra 7 258V\n"
    "AMD Ryzen 7 6800H\t6800H\n"
    "AMD Athlon 3000G\t3000G\n"
    "Qualcomm Snapdragon X Elite\tX1E-78-100\n"
    "Alpha\tA1\n"
    "Beta\tA1\n");

ImageVariant image(const std::string& id, const std::string& board, const std::string& date,
                   const std::string& product = "tower", const std::string& arch = "x86_64") {
    ImageVariant v;
    v.id = id;
    v.name = id;
    v.releaseDate = date;
    v.board = board;
    v.product = product;
    v.architecture = arch;
    return v;
}

Catalogue catalogue() {
    Catalogue c;
    c.schemaVersion = 1;
    c.images = {
        image("iris-old", "amd64-korvex_iris", "2025-01-10"),
        image("iris-new", "amd64-korvex_iris", "2025-03-02"),
        image("iris-retired", "amd64-korvex_iris", "2026-01-01"),
        image("iris-nomad", "amd64-korvex_iris", "2026-01-01", "nomad"),
        image("iris-arm", "amd64-korvex_iris", "2026-01-01", "tower", "aarch64"),
        image("slim", "amd64-korvex_slim", "2024-12-01"),
        image("apu-first", "amd64-korvex_apu", "2025-02-01"),
        image("apu-second", "amd64-korvex_apu", "2025-02-01"),
        image("apu-older", "amd64-korvex_apu", "2024-02-01"),
        image("device-x86", "device-board", "2023-01-01", "tower"),
        image("device-arm", "device-board", "2023-01-01", "tower", "aarch64"),
    };
    c.images[2].retired = true;
    c.images[1].retired = false;
    c.images.push_back(image("untagged", "amd64-korvex_iris", "2027-01-01"));
    c.images.back().product.reset();
    return c;
}

struct Outcome {
    std::string image;  // id, or "-" for none
    std::string reason;
    bool trial;
    friend bool operator==(const Outcome&, const Outcome&) = default;
    friend std::ostream& operator<<(std::ostream& o, const Outcome& v) {
        return o << "(" << v.image << ", " << v.reason << ", " << (v.trial ? "trial" : "exact")
                 << ")";
    }
};

Outcome recommend(const std::string& cpu, const std::string& graphics,
                  const std::optional<Catalogue>& c = catalogue(),
                  const std::optional<DeviceProfile>& host = std::nullopt) {
    Recommendation r = Recommender::recommend(cpu, graphics, c, kInventory, host);
    return {r.image ? r.image->id : "-", r.reason, r.trial};
}

Outcome trial(const std::string& image, const std::string& reason) {
    return {image, reason, true};
}
Outcome none(const std::string& reason) {
    return {"-", reason, true};
}

DeviceProfile hostWith(const std::string& cpu, std::vector<std::string> gpus = {}) {
    return DeviceProfile{"LENOVO", "20XW0055GE", cpu, std::move(gpus), false};
}

TEST(Recommender, ExclusionsComeFirst) {
    DeviceProfile arm = hostWith("Intel Core i5-1135G7");
    arm.appleSilicon = true;
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "integrated", std::nullopt, arm),
              none("catalogue"));
    EXPECT_EQ(recommend("nonsense", "nvidia", std::nullopt), none("catalogue"));
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "integrated", catalogue(), arm), none("arm"));
    for (const char* cpu : {"Qualcomm Snapdragon X Elite", "Rockchip RK3588", "rk3566 board",
                            "Apple M2 Pro", "snapdragon 8cx"}) {
        EXPECT_EQ(recommend(cpu, "integrated"), none("arm")) << cpu;
        EXPECT_EQ(recommend(cpu, "amd", catalogue(), hostWith(cpu)), none("arm")) << cpu;
    }
    EXPECT_EQ(recommend("RK3399", "integrated"), none("unknown"));
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "nvidia"), none("nvidia"));
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "nvidia"), none("nvidia"));
    DeviceProfile withNvidia = hostWith("other", {"Intel UHD", "NVIDIA GeForce GTX 1650"});
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "unknown", catalogue(), withNvidia), none("nvidia"));
    DeviceProfile lowerCase = hostWith("other", {"nvidia corporation tu117m"});
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "unknown", catalogue(), lowerCase), none("nvidia"));
    // Graphics values are exact text: "Nvidia" behaves like "integrated".
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "Nvidia"), trial("apu-first", "amd-trial"));
}

TEST(Recommender, UnknownWhenTheProcessorIsNotNamedExactlyOnce) {
    EXPECT_EQ(recommend("Some CPU 9000", "integrated"), none("unknown"));
    EXPECT_EQ(recommend("", "integrated"), none("unknown"));
    EXPECT_EQ(recommend("A1", "integrated"), none("unknown"));
    EXPECT_EQ(recommend("N4020 and 6800H", "integrated"), none("unknown"));
    // Over 160 characters is refused even though the key, without blanks, would be short.
    std::string padded = "Intel Core i5-1135G7" + std::string(140, ' ');
    EXPECT_EQ(recommend(padded, "integrated"), trial("iris-new", "intel-trial"));
    EXPECT_EQ(recommend(padded + " ", "integrated"), none("unknown"));
    // Characters are what a user sees: 160 accented letters are 160 characters.
    std::string accented;
    for (int i = 0; i < 139; ++i) accented += "e\u0301";
    EXPECT_EQ(recommend("N4020 " + accented, "integrated"), trial("slim", "intel-trial"));
}

TEST(Recommender, IntelFamilies) {
    struct Case {
        const char* cpu;
        const char* graphics;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        {"Intel Core i5-12400F", "integrated", none("discrete")},
        {"Intel Core i9-7980XE", "unknown", none("discrete")},
        {"Intel Core i5-1135G7", "integrated", trial("iris-new", "intel-trial")},
        {"11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz", "integrated",
         trial("iris-new", "intel-trial")},
        {"Intel Core i5-1135G7", "unknown", trial("iris-new", "intel-unknown")},
        {"Intel Core i5-1135G7", "amd", trial("apu-first", "amd-trial")},
        {"Intel Core i7-8086K", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Core i9-14900K", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Core i7-4770", "integrated", none("legacy")},
        {"Intel Core i3-2100", "integrated", none("legacy")},
        {"Intel Core 2 Duo E8400", "integrated", none("unknown")},
        {"Intel Celeron N4020", "integrated", trial("slim", "intel-trial")},
        {"Intel Celeron N4020", "unknown", trial("slim", "intel-unknown")},
        {"Intel Celeron N4500", "integrated", none("unknown")},
        {"Intel N100", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Pentium 4415U", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Core m3-7Y30", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Core Ultra 7 155H", "integrated", trial("iris-new", "intel-trial")},
        {"Intel Core Ultra 7 258V", "integrated", none("unknown")},
        {"AMD Ryzen 7 6800H", "integrated", trial("apu-first", "amd-trial")},
        {"AMD Ryzen 7 6800H", "unknown", trial("apu-first", "amd-unknown")},
        {"AMD Athlon 3000G", "integrated", none("unknown")},
        {"AMD Athlon 3000G", "amd", trial("apu-first", "amd-trial")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(recommend(c.cpu, c.graphics), c.expected) << c.cpu << " / " << c.graphics;
    }
    // An NVIDIA device on the host, with integrated graphics chosen.
    DeviceProfile host = hostWith("elsewhere", {"NVIDIA Corporation TU117M"});
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "integrated", catalogue(), host),
              trial("iris-new", "disable-nvidia"));
    EXPECT_EQ(recommend("Intel Celeron N4020", "integrated", catalogue(), host),
              trial("slim", "intel-trial"));
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "integrated", catalogue(), host),
              trial("apu-first", "amd-trial"));
}

TEST(Recommender, BoardPickTakesTheNewestTowerImageStably) {
    Catalogue c = catalogue();
    // Equal dates keep catalogue order, whichever comes first.
    std::swap(c.images[6], c.images[7]);
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "integrated", c), trial("apu-second", "amd-trial"));
    // Without any active tower x86_64 image of the board: "catalogue".
    Catalogue noIris = catalogue();
    std::erase_if(noIris.images,
                  [](const ImageVariant& v) { return v.id == "iris-old" || v.id == "iris-new"; });
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "integrated", noIris), none("catalogue"));
    Catalogue empty;
    EXPECT_EQ(recommend("AMD Ryzen 7 6800H", "integrated", empty), none("catalogue"));
    // Dates compare as text.
    Catalogue text = catalogue();
    text.images[0].releaseDate = "2025-9-1";
    EXPECT_EQ(recommend("Intel Core i5-1135G7", "integrated", text),
              trial("iris-old", "intel-trial"));
}

TEST(Recommender, CatalogueRulesForTheHostItself) {
    const std::string cpu = "Intel Core i5-1135G7";
    auto rule = [](const std::string& image, std::int64_t priority,
                   std::vector<HardwareRule::Condition> all,
                   const std::string& confidence = "exact") {
        return HardwareRule{"r", image, priority, confidence, std::move(all)};
    };
    const HardwareRule::Condition lenovo{"manufacturer", "equals", "lenovo"};
    const HardwareRule::Condition thinkpad{"model", "matches", "^20XW"};
    const HardwareRule::Condition wrongModel{"model", "contains", "MacBook"};
    const HardwareRule::Condition board{"board", "equals", "amd64-korvex_iris"};
    const HardwareRule::Condition pci{"gpuPciIds", "contains", "8086"};
    const DeviceProfile host = hostWith(cpu);

    auto withRules = [](std::vector<HardwareRule> rules) {
        Catalogue c = catalogue();
        c.rules = std::move(rules);
        return c;
    };
    // The higher priority wins, wherever it stands.
    Catalogue c =
        withRules({rule("slim", 100, {lenovo}), rule("device-x86", 900, {lenovo, thinkpad}),
                   rule("apu-first", 950, {lenovo, wrongModel})});
    EXPECT_EQ(recommend(cpu, "integrated", c, host), (Outcome{"device-x86", "exact", false}));
    // Rules apply only when the text is exactly the host's processor text, and not without a host.
    EXPECT_EQ(recommend("Intel Core i5-1135G7 ", "integrated", c, host),
              trial("iris-new", "intel-trial"));
    EXPECT_EQ(recommend(cpu, "integrated", c), trial("iris-new", "intel-trial"));
    // Rules run before the graphics choice of "amd"; they still need a known processor.
    EXPECT_EQ(recommend(cpu, "amd", c, host), (Outcome{"device-x86", "exact", false}));
    DeviceProfile unknownCpu = hostWith("Some CPU 9000");
    EXPECT_EQ(recommend("Some CPU 9000", "integrated", c, unknownCpu), none("unknown"));
    // Ties at the top naming different images.
    EXPECT_EQ(recommend(cpu, "integrated",
                        withRules({rule("device-x86", 900, {lenovo}), rule("slim", 900, {thinkpad}),
                                   rule("apu-first", 100, {lenovo})}),
                        host),
              none("unknown"));
    // Ties naming the same image are fine; a "likely" anywhere in the top group is not.
    EXPECT_EQ(recommend(cpu, "integrated",
                        withRules({rule("device-x86", 900, {lenovo}),
                                   rule("device-x86", 900, {thinkpad})}),
                        host),
              (Outcome{"device-x86", "exact", false}));
    EXPECT_EQ(recommend(cpu, "integrated",
                        withRules({rule("device-x86", 900, {lenovo}),
                                   rule("device-x86", 900, {thinkpad}, "likely")}),
                        host),
              none("unknown"));
    EXPECT_EQ(recommend(cpu, "integrated", withRules({rule("device-x86", 900, {lenovo}, "likely")}),
                        host),
              none("unknown"));
    // A likely rule below the top group does not matter.
    EXPECT_EQ(recommend(cpu, "integrated",
                        withRules({rule("slim", 10, {lenovo}, "likely"),
                                   rule("device-x86", 20, {lenovo})}),
                        host),
              (Outcome{"device-x86", "exact", false}));
    // The named image must be active and x86_64.
    EXPECT_EQ(recommend(cpu, "integrated", withRules({rule("device-arm", 900, {lenovo})}), host),
              none("unknown"));
    EXPECT_EQ(recommend(cpu, "integrated", withRules({rule("iris-retired", 900, {lenovo})}), host),
              none("unknown"));
    EXPECT_EQ(recommend(cpu, "integrated", withRules({rule("missing", 900, {lenovo})}), host),
              none("unknown"));
    // Conditions on "board" and "gpuPciIds" never hold: the families decide.
    EXPECT_EQ(recommend(cpu, "integrated",
                        withRules({rule("device-x86", 900, {board}),
                                   rule("device-x86", 900, {lenovo, pci})}),
                        host),
              trial("iris-new", "intel-trial"));
    // A rule with no conditions holds trivially.
    EXPECT_EQ(recommend(cpu, "integrated", withRules({rule("device-x86", 1, {})}), host),
              (Outcome{"device-x86", "exact", false}));
}

TEST(Recommender, ConditionsIgnoreCaseAndNeedAHostValue) {
    DeviceProfile host{"Apple", "Macmini9,1", "Straße CPU", {}, false};
    auto holds = [&](const std::string& field, const std::string& op, const std::string& value) {
        return Recommender::holds({field, op, value}, host);
    };
    EXPECT_TRUE(holds("model", "equals", "macmini9,1"));
    EXPECT_FALSE(holds("model", "equals", "macmini9"));
    EXPECT_TRUE(holds("manufacturer", "contains", "PPL"));
    EXPECT_TRUE(holds("cpu", "contains", "STRASSE"));
    EXPECT_FALSE(holds("cpu", "contains", "Intel"));
    EXPECT_TRUE(holds("cpu", "matches", "^straße"));
    EXPECT_TRUE(holds("model", "matches", "mini[0-9]"));
    EXPECT_FALSE(holds("model", "matches", "^mini"));
    EXPECT_FALSE(holds("model", "matches", "(unclosed"));
    EXPECT_FALSE(holds("model", "Equals", "Macmini9,1"));
    EXPECT_FALSE(holds("Model", "equals", "Macmini9,1"));
    EXPECT_FALSE(holds("board", "equals", ""));
    EXPECT_FALSE(holds("gpuPciIds", "contains", ""));
    host.model = "MacBookPro18,3";
    EXPECT_TRUE(holds("model", "matches", "^MacBookPro1[5-8],"));
    host.model = "";
    EXPECT_FALSE(holds("model", "contains", ""));
    EXPECT_FALSE(holds("model", "matches", ".*"));

    // A pattern that would backtrack for 2^40 steps gives up at the match limit and does not hold.
    host.model = std::string(40, 'a') + "!";
    EXPECT_FALSE(holds("model", "matches", "^(a|a)*$"));
    EXPECT_TRUE(holds("model", "matches", "^a+!$"));
}

TEST(Recommender, ReasonTextsInBothLanguages) {
    EXPECT_EQ(reasonText("arm", false),
              "This ARM computer can prepare a USB for another device, but cannot boot Korvex "
              "Tower. Choose an image for your target device.");
    EXPECT_EQ(reasonText("arm", true),
              "这台 ARM 电脑可以制作其他设备的启动 U 盘，但不能使用 Korvex Tower "
              "镜像启动。请为其他设备选择镜像。");
    EXPECT_EQ(reasonText("exact", true), "已匹配设备专用镜像。");
    EXPECT_EQ(reasonText("intel-trial", false), reasonText("amd-trial", false));
    EXPECT_EQ(reasonText("intel-trial", true), reasonText("amd-trial", true));
    EXPECT_EQ(reasonText("catalogue", false),
              "The catalogue is unavailable. Retry or choose a local image.");
    const std::string unknownEnglish =
        "There is not enough information for a reliable suggestion. Edit the details, browse "
        "versions or use a local image.";
    EXPECT_EQ(reasonText("unknown", false), unknownEnglish);
    EXPECT_EQ(reasonText("no-such-key", false), unknownEnglish);
    EXPECT_EQ(reasonText("", true), reasonText("unknown", true));
    EXPECT_EQ(reasonText("Exact", false), unknownEnglish);
    // Every key has its own text, distinct from the fallback, in both languages.
    for (const char* key : {"arm", "nvidia", "discrete", "legacy", "intel-unknown", "amd-unknown",
                            "disable-nvidia", "exact", "intel-trial", "catalogue"}) {
        EXPECT_NE(reasonText(key, false), unknownEnglish) << key;
        EXPECT_NE(reasonText(key, true), reasonText("unknown", true)) << key;
        EXPECT_NE(reasonText(key, true), reasonText(key, false)) << key;
    }
}

}  // namespace
}  // namespace korvex
