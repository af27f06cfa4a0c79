#include "app/catalogue/catalogue_model.hpp"

#include <gtest/gtest.h>

#include "core/records/decode_error.hpp"

namespace korvex {
namespace {

using namespace std::chrono;

const std::string kImage = R"({
  "id": "korvex-20-iris", "name": "Korvex 20", "version": "20.0.1", "releaseDate": "2025-03-02",
  "platform": "23-0601", "changelogPath": "/release/20.0/",
  "downloadUrl": "https://example.com/k20.img.xz", "compression": "xz",
  "compressedSize": 137438953472, "expandedSize": 4096,
  "sha256": "ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef0123456789",
  "product": "tower", "board": "amd64-korvex_iris", "architecture": "x86_64",
  "device": "NUC", "description": "d", "fileName": "k20.img.xz", "retired": false,
  "somethingNew": {"nested": [1, 2]}
})";

std::string catalogueWith(const std::string& image, const std::string& extra = "") {
    return R"({"schemaVersion": 1, "catalogueVersion": "2025.03", )" + extra +
           R"("generatedAt": "2025-03-01T08:00:00Z", "images": [)" + image +
           R"(], "rules": [{"id": "r1", "imageId": "korvex-20-iris", "priority": 900,
              "confidence": "exact", "all": [{"field": "model", "operator": "equals",
              "value": "Macmini9,1"}]}]})";
}

// `kImage` with `key`'s member replaced by `replacement` ("" removes it).
std::string imageWith(const std::string& key, const std::string& replacement) {
    std::string text = kImage;
    std::size_t at = text.find("\"" + key + "\":");
    std::size_t end = text.find_first_of(",}", text.find(':', at));
    text.replace(at, end - at + (text[end] == ',' ? 1 : 0), replacement);
    return text;
}

TEST(CatalogueModel, DecodesEveryFieldIgnoringUnknownKeysAndRoundTrips) {
    Catalogue c = decodeCatalogue(catalogueWith(kImage, R"("publisherNote": null, )"));
    ASSERT_EQ(c.images.size(), 1u);
    const ImageVariant& v = c.images[0];
    EXPECT_EQ(v.id, "korvex-20-iris");
    EXPECT_EQ(v.compressedSize, 137438953472);
    EXPECT_EQ(v.platform, "23-0601");
    EXPECT_EQ(v.retired, false);
    EXPECT_EQ(v.fileName, "k20.img.xz");
    ASSERT_EQ(c.rules.size(), 1u);
    EXPECT_EQ(c.rules[0].priority, 900);
    EXPECT_EQ(c.rules[0].all.at(0).operator_, "equals");
    EXPECT_EQ(c.rules[0].all.at(0).value, "Macmini9,1");

    std::string text = encode(c);
    EXPECT_EQ(text.find("somethingNew"), std::string::npos);
    EXPECT_EQ(decodeCatalogue(text), c);

    CatalogueConfig config = decodeCatalogueConfig(
        R"({"url": "https://example.com/c.json", "publicKeys": {"k1": "AAAA", "k2": "BBBB"}})");
    EXPECT_EQ(config.publicKeys.at("k2"), "BBBB");
    EXPECT_EQ(decodeCatalogueConfig(encode(config)), config);
}

TEST(CatalogueModel, AbsentOrNullOptionalFieldsStayEmptyAndAreOmittedWhenEncoded) {
    std::string bare = imageWith("platform", R"("platform": null,)");
    for (const char* key : {"changelogPath", "product", "board", "architecture", "device",
                            "description", "fileName"}) {
        std::size_t at = bare.find(std::string("\"") + key + "\":");
        std::size_t end = bare.find(',', at);
        bare.erase(at, end - at + 1);
    }
    bare = bare.replace(bare.find("\"retired\": false"), 16, "\"retired\": null");
    ImageVariant v = decodeImageVariant(bare);
    EXPECT_FALSE(v.platform || v.changelogPath || v.product || v.board || v.architecture ||
                 v.device || v.description || v.fileName || v.retired);
    std::string text = encode(v);
    for (const char* key : {"platform", "board", "retired", "fileName"}) {
        EXPECT_EQ(text.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(decodeImageVariant(text), v);
}

TEST(CatalogueModel, AnyMissingRequiredKeyOrWrongTypeFailsTheWholeDecode) {
    for (const char* key : {"id", "name", "version", "releaseDate", "downloadUrl", "compression",
                            "compressedSize", "expandedSize", "sha256"}) {
        EXPECT_THROW(decodeCatalogue(catalogueWith(imageWith(key, ""))), DecodeError) << key;
    }
    const std::vector<std::pair<std::string, std::string>> wrongTypes = {
        {"compressedSize", R"("compressedSize": "1000",)"},
        {"compressedSize", R"("compressedSize": 1.5,)"},
        {"expandedSize", R"("expandedSize": 9223372036854775808,)"},
        {"sha256", R"("sha256": null,)"},
        {"platform", R"("platform": 23,)"},
        {"retired", R"("retired": "false",)"},
        {"board", R"("board": [],)"},
    };
    for (const auto& [key, replacement] : wrongTypes) {
        EXPECT_THROW(decodeCatalogue(catalogueWith(imageWith(key, replacement))), DecodeError)
            << replacement;
    }
    // The catalogue's own keys, a rule's keys and a condition's keys.
    std::string good = catalogueWith(kImage);
    auto without = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    EXPECT_NO_THROW(decodeCatalogue(good));
    EXPECT_THROW(decodeCatalogue(without(R"("schemaVersion": 1,)", "")), DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"("schemaVersion": 1)", R"("schemaVersion": "1")")),
                 DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"("rules": [)", R"("rules": 0, "x": [)")), DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"("priority": 900)", R"("priority": true)")),
                 DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"("operator": "equals",)", "")), DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"("confidence": "exact",)", "")), DecodeError);
    EXPECT_THROW(decodeCatalogue(without(R"([{"field")", R"([7, {"field")")), DecodeError);
    EXPECT_THROW(decodeCatalogue(R"({"schemaVersion": 1, "catalogueVersion": "v", "generatedAt": "",
                                     "images": {}, "rules": []})"),
                 DecodeError);
    EXPECT_NO_THROW(decodeCatalogue(R"({"schemaVersion": 1, "catalogueVersion": "v",
                                        "generatedAt": "", "images": [], "rules": []})"));
    EXPECT_THROW(decodeCatalogue("[]"), DecodeError);
    EXPECT_THROW(decodeCatalogue(good.substr(0, good.size() - 1)), DecodeError);
    EXPECT_THROW(decodeCatalogueConfig(R"({"url": "u", "publicKeys": {"k": 1}})"), DecodeError);
    EXPECT_THROW(decodeCatalogueConfig(R"({"url": "u", "publicKeys": ["k"]})"), DecodeError);
    EXPECT_THROW(decodeCatalogueConfig(R"({"publicKeys": {}})"), DecodeError);
}

TEST(CatalogueModel, DateParsesInTwoAttemptsAndFallsBackToTheDistantPast) {
    auto dateOf = [](const std::string& text) {
        Catalogue c;
        c.generatedAt = text;
        return c.date();
    };
    const CatalogueTime eight = sys_days(2025y / March / 1) + 8h;
    EXPECT_EQ(dateOf("2025-03-01T08:00:00Z"), eight);
    EXPECT_EQ(dateOf("2025-03-01T16:00:00+08:00"), eight);
    EXPECT_EQ(dateOf("2025-02-28T21:30:00-10:30"), eight);
    EXPECT_EQ(dateOf("2025-03-01T08:00:00.250Z"), eight + 250ms);
    EXPECT_EQ(dateOf("2025-03-01T08:00:00.1234567Z"), eight + 123456us);
    EXPECT_EQ(parseInternetDateTime("2025-03-01T08:00:00.250Z", false), std::nullopt);
    EXPECT_EQ(parseInternetDateTime("2025-03-01T08:00:00Z", true), std::nullopt);
    EXPECT_EQ(dateOf("2024-02-29T00:00:00Z"), CatalogueTime(sys_days(2024y / February / 29)));

    const CatalogueTime past = distantPast();
    EXPECT_EQ(past, CatalogueTime(sys_days(year(1) / January / 1)));
    EXPECT_LT(past, CatalogueTime(sys_days(1900y / January / 1)));
    for (const char* bad :
         {"2025-03-01", "", "2025-03-01T08:00:00", "2025-03-01 08:00:00Z", "2025-3-01T08:00:00Z",
          "2025-02-29T08:00:00Z", "2025-13-01T08:00:00Z", "2025-03-01T24:00:00Z",
          "2025-03-01T08:60:00Z", "2025-03-01T08:00:00+0800", "2025-03-01T08:00:00.Z",
          "2025-03-01T08:00:00Z ", "2025-03-01T08:00:00+24:00", "+2025-03-01T08:00:00Z"}) {
        EXPECT_EQ(dateOf(bad), past) << bad;
    }
}

TEST(CatalogueModel, ActiveKeepsCatalogueOrderAndDropsOnlyRetiredTrue) {
    Catalogue c;
    for (const char* id : {"a", "b", "c", "d"}) c.images.push_back(ImageVariant{.id = id});
    c.images[1].retired = true;
    c.images[2].retired = false;
    std::vector<std::string> ids;
    for (const auto& v : c.active()) ids.push_back(v.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "c", "d"}));
}

TEST(CatalogueModel, LabelPrefersTheBoardThenAnAbsentDevice) {
    ImageVariant v{.name = "Korvex 20", .board = "amd64-korvex_slim", .device = "NUC"};
    EXPECT_EQ(v.label(), "Korvex 20 · Intel Slim");
    v.board = "amd64-korvex_apu";
    EXPECT_EQ(v.label(), "Korvex 20 · AMD Graphics");
    v.board = "amd64-korvex_iris";
    EXPECT_EQ(v.label(), "Korvex 20 · Intel Modern");

    ImageVariant pi{
        .name = "Korvex for Raspberry Pi 5", .board = "rpi5-korvex", .device = "Raspberry Pi 5"};
    EXPECT_EQ(pi.label(), "Korvex for Raspberry Pi 5");
    pi.device = "raspberry pi 5";
    EXPECT_EQ(pi.label(), "Korvex for Raspberry Pi 5 · raspberry pi 5");
    pi.device.reset();
    EXPECT_EQ(pi.label(), "Korvex for Raspberry Pi 5");
    pi.board.reset();
    pi.device = "";  // an empty device is contained in every name
    EXPECT_EQ(pi.label(), "Korvex for Raspberry Pi 5");
}

TEST(CatalogueModel, ReleaseDetailsAlwaysHaveFourRowsInBothLanguages) {
    ImageVariant v{.version = "20.0.1", .releaseDate = "2025-03-02"};
    EXPECT_EQ(v.releaseDetails(false),
              (std::vector<ReleaseDetail>{{"version", "Version", "20.0.1"},
                                          {"date", "Release date", "2025-03-02"},
                                          {"platform", "Platform", "Not provided"},
                                          {"codename", "Release codename", "Not provided"}}));
    v.platform = "23-0601";
    v.board = "amd64-korvex_iris";
    EXPECT_EQ(v.releaseDetails(true),
              (std::vector<ReleaseDetail>{{"version", "版本号", "20.0.1"},
                                          {"date", "发布日期", "2025-03-02"},
                                          {"platform", "平台", "23-0601"},
                                          {"codename", "代号", "amd64-korvex_iris"}}));
    EXPECT_EQ(ImageVariant{}.releaseDetails(true)[3].value, "未提供");
}

TEST(CatalogueModel, SafeChangelogPath) {
    for (const char* safe :
         {"/release/20.0/", "/Blog/new-year/", "/RELEASE/a_b/c.d/", "/blog/x/"}) {
        EXPECT_TRUE(ImageVariant::safeChangelogPath(safe)) << safe;
    }
    for (const char* unsafe :
         {"/release/20.0", "/news/20/", "/release//20/", "/release/../admin/", "/release/./x/",
          "/release/x/../", "/release/x/./", "release/20/", "/release/", "/release/a b/",
          "/release/20/\n", "/release/20/?q=1/", "//release/20/", "/releases/20/",
          "/release/\u212A/", "", "/release/20/#/"}) {
        EXPECT_FALSE(ImageVariant::safeChangelogPath(unsafe)) << unsafe;
    }
    std::string longest = "/release/" + std::string(290, 'a') + "/";
    ASSERT_EQ(longest.size(), 300u);
    EXPECT_TRUE(ImageVariant::safeChangelogPath(longest));
    EXPECT_FALSE(ImageVariant::safeChangelogPath("/release/" + std::string(291, 'a') + "/"));
}

}  // namespace
}  // namespace korvex
