#include "app/catalogue/catalogue_model.hpp"

#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "core/records/decode_error.hpp"
#include "tests/fixtures.hpp"

namespace korvex {
namespace {

using namespace std::chrono;
using nlohmann::json;

const json kCatalogue = json::parse(R"({"schemaVersion": 1, "catalogueVersion": "2025.03",
  "generatedAt": "2025-03-01T08:00:00Z", "publisherNote": null, "images": [{
  "id": "korvex-20-iris", "name": "Korvex 20", "version": "20.0.1", "releaseDate": "2025-03-02",
  "platform": "23-0601", "changelogPath": "/release/20.0/",
  "downloadUrl": "https://example.com/k20.img.xz", "compression": "xz",
  "compressedSize": 137438953472, "expandedSize": 4096,
  "sha256": "ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef0123456789",
  "product": "tower", "board": "amd64-korvex_iris", "architecture": "x86_64",
  "device": "NUC", "description": "d", "fileName": "k20.img.xz", "retired": false,
  "somethingNew": {"nested": [1, 2]}}],
  "rules": [{"id": "r1", "imageId": "korvex-20-iris", "priority": 900, "confidence": "exact",
  "all": [{"field": "model", "operator": "equals", "value": "Macmini9,1"}]}]})");

// Catches a field decoded into the wrong member or lost, and an unknown key kept or refused.
TEST(CatalogueModel, DecodesEveryFieldIgnoringUnknownKeysAndRoundTrips) {
    const Catalogue c = decodeCatalogue(kCatalogue.dump());
    ASSERT_EQ(c.images.size(), 1u);
    const ImageVariant& v = c.images[0];
    EXPECT_TRUE(v.compressedSize == 137438953472 && v.fileName == "k20.img.xz" &&
                v.platform == "23-0601" && v.retired == false && c.rules.at(0).priority == 900);
    EXPECT_EQ(c.rules.at(0).all.at(0), (HardwareRule::Condition{"model", "equals", "Macmini9,1"}));
    const std::string text = encode(c);
    EXPECT_EQ(text.find("somethingNew"), std::string::npos);
    EXPECT_EQ(decodeCatalogue(text), c);
    const CatalogueConfig config = decodeCatalogueConfig(
        R"({"url": "https://e.com/c.json", "publicKeys": {"k1": "A", "k2": "B"}})");
    EXPECT_EQ(config.publicKeys.at("k2"), "B");
    EXPECT_EQ(decodeCatalogueConfig(encode(config)), config);

    json bare = kCatalogue["images"][0];  // absent or null optional fields stay empty
    for (const char* key :
         {"changelogPath", "product", "board", "architecture", "device", "description", "fileName"})
        bare.erase(key);
    bare["platform"] = bare["retired"] = nullptr;
    const ImageVariant b = decodeImageVariant(bare.dump());
    EXPECT_FALSE(b.platform || b.changelogPath || b.product || b.board || b.architecture ||
                 b.device || b.description || b.fileName || b.retired);
}

// Catches a missing required key or a value of the wrong type decoded as a default.
TEST(CatalogueModel, AnyMissingRequiredKeyOrWrongTypeFailsTheWholeDecode) {
    auto edited = [](const std::string& e) { return testing::jsonEdited(kCatalogue.dump(), e); };
    std::vector<std::string> bad = {"[]", kCatalogue.dump().substr(0, 100)};
    for (const char* key : {"id", "name", "version", "releaseDate", "downloadUrl", "compression",
                            "compressedSize", "expandedSize", "sha256"})
        bad.push_back(edited(std::string("/images/0/") + key));
    for (const char* edit :
         {"/images {}", "/rules 0", R"(/images/0/compressedSize "1000")",
          "/images/0/compressedSize 1.5", "/images/0/expandedSize 9223372036854775808",
          "/images/0/sha256 null", "/images/0/platform 23", R"(/images/0/retired "false")",
          "/images/0/board []", "/schemaVersion", R"(/schemaVersion "1")", "/rules/0/priority true",
          "/rules/0/confidence", "/rules/0/all/0/operator", "/rules/0/all/0 7"})
        bad.push_back(edited(edit));
    for (const std::string& text : bad) EXPECT_THROW(decodeCatalogue(text), DecodeError) << text;
    EXPECT_NO_THROW(decodeCatalogue(edited("/images []")));
    for (const char* text : {R"({"url": "u", "publicKeys": {"k": 1}})",
                             R"({"url": "u", "publicKeys": ["k"]})", R"({"publicKeys": {}})"})
        EXPECT_THROW(decodeCatalogueConfig(text), DecodeError) << text;
}

// Catches a date read in the wrong zone or precision, and a bad one not taken as the distant past.
TEST(CatalogueModel, DateParsesInTwoAttemptsAndFallsBackToTheDistantPast) {
    auto dateOf = [](const std::string& text) { return Catalogue{.generatedAt = text}.date(); };
    const CatalogueTime eight = sys_days(2025y / March / 1) + 8h;
    for (const char* text : {"2025-03-01T08:00:00Z", "2025-03-01T16:00:00+08:00",
                             "2025-02-28T21:30:00-10:30", "2025-03-01T08:00:00.000Z"})
        EXPECT_EQ(dateOf(text), eight) << text;
    EXPECT_EQ(dateOf("2025-03-01T08:00:00.250Z"), eight + 250ms);
    EXPECT_EQ(dateOf("2025-03-01T08:00:00.1234567Z"), eight + 123456us);
    EXPECT_EQ(dateOf("2024-02-29T08:00:00Z"), eight - days(366));
    for (const char* bad :
         {"2025-03-01", "", "2025-03-01T08:00:00", "2025-03-01 08:00:00Z", "2025-3-01T08:00:00Z",
          "2025-02-29T08:00:00Z", "2025-13-01T08:00:00Z", "2025-03-01T24:00:00Z",
          "2025-03-01T08:60:00Z", "2025-03-01T08:00:00+0800", "2025-03-01T08:00:00.Z",
          "2025-03-01T08:00:00Z ", "2025-03-01T08:00:00+24:00", "+2025-03-01T08:00:00Z"})
        EXPECT_EQ(dateOf(bad), distantPast()) << bad;
}

// Catches a retired image offered, an image with `retired: false` dropped, and a reordering.
TEST(CatalogueModel, ActiveKeepsCatalogueOrderAndDropsOnlyRetiredTrue) {
    const Catalogue c{
        .images = {
            {.id = "a"}, {.id = "b", .retired = true}, {.id = "c", .retired = false}, {.id = "d"}}};
    std::string ids;
    for (const auto& v : c.active()) ids += v.id;
    EXPECT_EQ(ids, "acd");
}

// Catches one label shared by two boards or two release-detail rows, in either language.
TEST(CatalogueModel, LabelsAndReleaseDetailLabelsAreDistinct) {
    std::set<std::string> labels;
    for (const char* board : {"amd64-korvex_slim", "amd64-korvex_apu", "amd64-korvex_iris"})
        EXPECT_TRUE(labels.insert(ImageVariant{.name = "K", .board = board}.label()).second);
    for (bool chinese : {false, true})
        for (const ReleaseDetail& row : ImageVariant{}.releaseDetails(chinese))
            EXPECT_TRUE(labels.insert(row.label).second) << row.label;
}

// Catches a path that could leave the release or blog folder, or one longer than 300 characters.
TEST(CatalogueModel, SafeChangelogPath) {
    const std::string longest = "/release/" + std::string(290, 'a') + "/";
    const std::pair<bool, std::vector<std::string>> cases[] = {
        {true, {"/release/20.0/", "/Blog/new-year/", "/RELEASE/a_b/c.d/", longest}},
        {false,
         {"/release/20.0", "/news/20/", "/release//20/", "/release/../admin/", "/release/./x/",
          "/release/x/../", "/release/x/./", "release/20/", "/release/", "/release/a b/",
          "/release/20/\n", "/release/20/?q=1/", "//release/20/", "/releases/20/",
          "/release/\u212A/", "", "/release/20/#/", "/release/a" + longest.substr(9)}}};
    for (const auto& [safe, paths] : cases)
        for (const std::string& path : paths)
            EXPECT_EQ(ImageVariant::safeChangelogPath(path), safe) << path;
}

}  // namespace
}  // namespace korvex
