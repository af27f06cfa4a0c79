#include "app/catalogue/signed_catalogue.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "app/model/app_paths.hpp"
#include "core/base/base64.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "tests/https_test_server.hpp"
#include "tests/test_support.hpp"
#include "tools/catalogue_signing.hpp"

namespace korvex {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using signing::SigningKey;
using testing::jsonEdited;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const SigningKey kMain = SigningKey::generate(), kOther = SigningKey::generate();
const CatalogueConfig kConfig{
    "https://catalogue.korvex.example/catalogue.json",
    {{"main-2026", kMain.publicPem()}, {"other-2026", kOther.publicPem()}}};

// A valid catalogue of `images` images and `rules` rules, every rule naming image-0.
std::string catalogue(int images = 2, int rules = 2, const char* date = "2026-05-01T00:00:00Z",
                      const char* version = "2026.05") {
    json c = {{"schemaVersion", 1}, {"catalogueVersion", version}, {"generatedAt", date}};
    c["images"] = c["rules"] = json::array();
    json image = json::parse(R"({"name": "Korvex 20 Tower", "version": "20.1",
        "releaseDate": "2026-05-01", "platform": "23-0601", "changelogPath": "/release/20.1/",
        "compression": "xz", "compressedSize": 1000, "expandedSize": 4096,
        "fileName": "korvex-20.1.img.xz"})");
    image["sha256"] = std::string(64, 'a');
    json rule =
        json::parse(R"({"id": "rule", "imageId": "image-0", "priority": 10, "confidence": "exact",
        "all": [{"field": "cpu", "operator": "contains", "value": "Intel"}]})");
    for (int i = 0; i < images; ++i) {
        image["id"] = "image-" + std::to_string(i);
        image["downloadUrl"] = "https://images.korvex.example/k" + std::to_string(i) + ".img.xz";
        c["images"].push_back(image);
    }
    for (int i = 0; i < rules; ++i) c["rules"].push_back(rule);
    return c.dump();
}

std::string sealed(const std::string& payload, const SigningKey& key = kMain,
                   const char* keyId = "main-2026") {
    return signing::envelope(payload, keyId, key);
}

std::string asJson(const std::string& text) {
    return json(text).dump();
}

// The message of what verify() throws, "decode" for a DecodeError, or "accepted".
std::string outcome(std::string_view envelope, const CatalogueConfig& c = kConfig) {
    try {
        SignedCatalogue::verify(envelope, c, *parseInternetDateTime("2026-06-01T00:00:00Z", false));
        return "accepted";
    } catch (const ImagerError& e) {
        return e.description();
    } catch (const DecodeError&) {
        return "decode";
    }
}

// Catches a key refused for its armour or line breaks, or another algorithm's key accepted.
TEST(SignedCatalogue, KeyTextMayBeArmouredOrBareWithAnyLineBreaksButMustBeEd25519Spki) {
    const std::string pem = kMain.publicPem();
    std::string body = pem.substr(pem.find('\n') + 1);
    body = body.substr(0, body.find("-----"));
    std::erase(body, '\n');
    const std::string raw = *SignedCatalogue::decodeBase64(body),
                      begin = "-----BEGIN PUBLIC KEY-----", end = "-----END PUBLIC KEY-----";
    ASSERT_EQ(raw.size(), 44u);
    std::string flipped = raw;
    flipped[5] = '\x04';  // a different algorithm identifier, same length
    const std::string p256 =
        "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEQ6ko0+8WFZtlu0P9Fnd6hzXQZXyi34iV9eRdjiefrbUvz4xDY7tL"
        "ydfyNYzLFlQhmKhzAhHpUcD61clh7ZwRvQ==";
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"accepted",
         {pem, body, begin + "\r\n" + body.substr(0, 20) + "\r\n" + body.substr(20) + "\r\n" + end,
          begin + "\u2028" + body.substr(0, 30) + "\u0085" + body.substr(30) + "\u2029" + end}},
        {"An Ed25519 public key is required.",
         {encodeBase64(raw.substr(12)), p256, encodeBase64(flipped), "not base64!", ""}}};
    for (const auto& [expected, keys] : cases)
        for (const std::string& text : keys) {
            CatalogueConfig c = kConfig;
            c.publicKeys["main-2026"] = text;
            EXPECT_EQ(outcome(sealed(catalogue()), c), expected) << text;
        }
}

// Catches an envelope taken oversized, cut at a NUL, nested without bound or signed by another key.
TEST(SignedCatalogue, RefusesEnvelopesThatAreNotExactlyWhatWasSigned) {
    const std::string payload = catalogue(), good = sealed(payload);
    auto envelope = [&](const std::string& edit) { return jsonEdited(good, edit); };
    auto deep = [](const std::string& object, int arrays) {  // unknown keys: only depth refuses
        return "{\"deep\":" + std::string(arrays, '[') + std::string(arrays, ']') + "," +
               object.substr(1);
    };
    const std::string junk = std::string(1, '\0') + std::string(100'000, 'j');
    const std::string exact = good + std::string(SignedCatalogue::kMaxEnvelope - good.size(), ' ');
    std::string changed = payload;
    changed[changed.find("20.1")] = '3';
    json bare = json::parse(good);
    bare.erase("signature");
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"accepted",
         {exact, deep(good, 31), sealed(deep(payload, 31)), envelope("/extra true"),
          sealed(payload, kOther, "other-2026")}},
        {"Catalogue is too large.", {exact + " "}},
        {"decode",
         {"not json", good + junk, sealed(payload + junk), deep(good, 32),
          sealed(deep(payload, 32)), sealed("[1,2]"), bare.dump(),
          envelope(R"(/schemaVersion "1")")}},
        {"Untrusted catalogue envelope.",
         {envelope("/schemaVersion 2"), envelope(R"(/keyId "Main-2026")"),
          envelope(R"(/keyId "unknown")"), envelope(R"(/payload "abc")"),
          envelope("/payload " + asJson(json::parse(good)["payload"].get<std::string>() + "\n")),
          envelope("/signature " + asJson(encodeBase64(std::string(63, 'x')))),
          envelope(R"(/signature "!!!!")"),
          // A payload over 2 MiB is refused before its valid signature is checked.
          sealed(payload + std::string(SignedCatalogue::kMaxPayload, ' '))}},
        {"Catalogue signature is invalid.",
         {envelope("/payload " + asJson(encodeBase64(changed))), sealed(payload, kOther)}}};
    for (const auto& [expected, envelopes] : cases)
        for (std::size_t i = 0; i < envelopes.size(); ++i)
            EXPECT_EQ(outcome(envelopes[i]), expected) << "envelope " << i;
    EXPECT_EQ(outcome(good, CatalogueConfig{kConfig.url, {}}), "Untrusted catalogue envelope.");
}

// Catches a bound off by one, a check skipped or caseless, a refusal naming a later check.
TEST(SignedCatalogue, RefusesCataloguesOutOfBoundsWithTheFirstFailingChecksText) {
    std::string name160;
    for (int i = 0; i < 160; ++i) name160 += "e\u0301";  // one character a user sees
    const std::string condition = json::parse(catalogue())["rules"][0]["all"][0].dump();
    auto conditions = [&](int n) {
        std::string all = "/rules/1/all [" + condition;
        for (int i = 1; i < n; ++i) all += "," + condition;
        return all + "]";
    };
    auto edited = [](const std::vector<std::string>& edits) {
        std::string text = catalogue();
        for (const std::string& edit : edits) text = jsonEdited(text, edit);
        return sealed(text);
    };
    const std::pair<const char*, std::vector<std::string>> edits[] = {
        {"accepted",
         {R"(/generatedAt "2026-06-01T00:14:59Z")", R"(/generatedAt "2026-06-01T08:14:59.5+08:00")",
          R"(/generatedAt "2001-01-01T00:00:00Z")", R"(/images/1/id "Image-0")",
          "/images/1/id " + asJson(std::string(64, 'a')), "/images/1/name " + asJson(name160),
          "/images/1/sha256 " + asJson(std::string(64, 'F')),
          "/images/1/compressedSize 137438953472", R"(/images/1/compression "none")",
          "/images/1/platform null", R"(/images/1/changelogPath "/Blog/new-year/")",
          R"(/images/1/fileName "")", "/images/0/retired true", "/rules/1/priority 10000",
          conditions(16), "/rules/1/all/0/value " + asJson(std::string(200, 'x'))}},
        {"Invalid catalogue version.",
         {"/schemaVersion 2", R"(/catalogueVersion "")", R"(/generatedAt "2025-03-01")",
          R"(/generatedAt "2026-06-01T00:15:00Z")"}},
        {"Invalid image list.", {R"(/images/1/id "image-0")"}},
        {"Invalid image metadata.",
         {R"(/images/1/id "-20")", "/images/1/id " + asJson(std::string(65, 'a')),
          R"(/images/1/name "")", "/images/1/name " + asJson(name160 + "x"),
          "/images/1/version " + asJson(std::string(41, 'v')),
          "/images/1/sha256 " + asJson(std::string(63, 'a')),
          "/images/1/sha256 " + asJson(std::string(64, 'g'))}},
        {"Invalid image size or compression.",
         {"/images/1/compressedSize 0", "/images/1/compressedSize 137438953473",
          "/images/1/expandedSize 0", R"(/images/1/compression "ZIP")"}},
        {"An HTTPS download URL is required.",
         {R"(/images/1/downloadUrl "http://images.korvex.example/a.img")"}},
        {"Invalid platform version.", {R"(/images/1/platform "2-0601")"}},
        {"Invalid release-note path.", {R"(/images/1/changelogPath "/release/../admin/")"}},
        {"Invalid image filename.", {R"(/images/1/fileName ".hidden.img")"}},
        {"Invalid hardware rule.",
         {R"(/rules/1/imageId "image-9")", R"(/rules/1/imageId "Image-0")",
          "/rules/1/priority 10001", "/rules/1/priority -1", R"(/rules/1/confidence "Exact")",
          "/rules/1/all []", conditions(17)}},
        {"Invalid hardware condition.",
         {R"(/rules/1/all/0/field "CPU")", R"(/rules/1/all/0/operator "regex")",
          R"(/rules/1/all/0/value "")", "/rules/1/all/0/value " + asJson(std::string(201, 'x'))}}};
    for (const auto& [expected, list] : edits)
        for (const std::string& edit : list)
            EXPECT_EQ(outcome(edited({edit})), expected) << edit.substr(0, 80);
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"accepted",
         {sealed(catalogue(1, 0)), sealed(catalogue(256, 1)), sealed(catalogue(1, 4096))}},
        {"Invalid image list.",
         {sealed(catalogue(0, 0)), sealed(catalogue(257, 1)), sealed(catalogue(1, 4097))}},
        {"Invalid image metadata.",
         {edited({"/images/0/compressedSize 0", R"(/images/0/id "-x")"})}},
        {"Invalid platform version.",
         {edited({R"(/images/1/name "")", R"(/images/0/platform "1")"})}},
        {"Invalid image filename.",
         {edited({R"(/images/1/fileName ".x")", "/rules/0/priority -5"})}}};
    for (const auto& [expected, envelopes] : cases)
        for (std::size_t i = 0; i < envelopes.size(); ++i)
            EXPECT_EQ(outcome(envelopes[i]), expected) << "catalogue " << i;
}

// Catches a bundled catalogue read unchecked, and a shipped one that fails or lacks a board.
TEST(SignedCatalogue, BundledReadsTheConfigurationAndVerifiesTheShippedCatalogue) {
    TempDir folder;
    writeFile(
        folder.file("catalogue-config.json"),
        json{{"url", kConfig.url}, {"publicKeys", {{"main-2026", kMain.publicPem()}}}}.dump());
    writeFile(folder.file("catalogue-bundled.json"), sealed(catalogue(3, 1)));
    EXPECT_EQ(SignedCatalogue::bundled(folder.path()).first.images.size(), 3u);
    writeFile(folder.file("catalogue-bundled.json"), sealed(catalogue(3, 1), kOther));
    EXPECT_THROW(SignedCatalogue::bundled(folder.path()), ImagerError);
    fs::remove(folder.file("catalogue-config.json"));
    EXPECT_THROW(SignedCatalogue::bundled(folder.path()), std::system_error);

    auto [shipped, shippedConfig] = SignedCatalogue::bundled(AppPaths::resourceFolder());
    EXPECT_EQ(shippedConfig.publicKeys.size(), 1u);
    EXPECT_TRUE(SecureNetwork::https(shippedConfig.url).host.ends_with(".example"));
    EXPECT_FALSE(shipped.rules.empty());
    std::set<std::string> offered;
    for (const ImageVariant& image : shipped.active())
        if (SecureNetwork::https(image.downloadUrl).host.ends_with(".example"))
            offered.insert(image.product.value_or("") + " " + image.board.value_or(""));
    for (const char* wanted : {"tower amd64-korvex_iris", "tower amd64-korvex_slim",
                               "tower amd64-korvex_apu", "boards rpi5-korvex"})
        EXPECT_TRUE(offered.count(wanted)) << wanted;
}

// A catalogue server whose answer the test changes between calls.
struct CatalogueSite {
    testing::HttpsTestServer server;
    std::shared_ptr<std::string> body = std::make_shared<std::string>();
    CatalogueConfig config = kConfig;
    SignedCatalogue::RefreshOptions options;
    TempDir home;
    std::string folder = home.file("Korvex Imager"), kept = folder + "/catalogue.json";

    CatalogueSite() {
        server.route("/catalogue.json", [b = body](const auto& r, auto& c) {
            testing::HttpsTestServer::answerWithRanges(r, c, *b);
        });
        config.url = server.url("/catalogue.json");
        options.folder = folder;
        options.network.caFile = server.caFile();
        options.network.requestTimeout = std::chrono::seconds(2);
    }
    std::string refresh() {
        const Catalogue current =
            decodeCatalogue(catalogue(2, 1, "2026-05-01T00:00:00Z", "current"));
        return SignedCatalogue::refresh(current, config, options).catalogueVersion;
    }
};

std::string newer(const char* date, const char* version, const SigningKey& key = kMain) {
    return sealed(catalogue(2, 1, date, version), key);
}

// Catches a kept copy replaced by a download not newer and valid, readable by others, or left half.
TEST(SignedCatalogueRefresh, KeepsTheNewestValidCatalogueAndWritesOnlyAWinningDownload) {
    CatalogueSite site;
    EXPECT_EQ(site.refresh(), "current");  // nothing kept, nothing served (404)
    EXPECT_FALSE(fs::exists(site.kept));
    const std::string winner = newer("2026-05-10T00:00:00Z", "newer");
    for (const std::string& served : {winner, newer("2026-05-05T00:00:00Z", "older"),
                                      newer("2026-05-10T00:00:00Z", "same-date"),
                                      newer("2026-05-20T00:00:00Z", "forged", kOther),
                                      newer("2026-05-20T00:00:00Z", "padded") + '\0' + "junk"}) {
        *site.body = served;
        EXPECT_EQ(site.refresh(), "newer");
        EXPECT_EQ(readFile(site.kept), winner);
    }
    EXPECT_EQ(fs::status(site.kept).permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_EQ(fs::status(site.folder).permissions() & fs::perms::all, fs::perms(0700));
    EXPECT_EQ(std::distance(fs::directory_iterator(site.folder), fs::directory_iterator()), 1);
}

// Catches a kept copy trusted when forged, not newer or linked, and a download written via a link.
TEST(SignedCatalogueRefresh, KeptCopyIsCheckedLikeADownload) {
    CatalogueSite site;
    site.config.url = [] { return testing::HttpsTestServer().url("/catalogue.json"); }();  // gone
    fs::create_directory(site.folder);
    writeFile(site.kept, newer("2026-05-01T00:00:00Z", "kept-same"));
    EXPECT_EQ(site.refresh(), "current");
    writeFile(site.kept, newer("2026-05-02T00:00:00Z", "kept-newer"));
    EXPECT_EQ(site.refresh(), "kept-newer");
    writeFile(site.kept, newer("2026-05-03T00:00:00Z", "kept-forged", kOther));
    EXPECT_EQ(site.refresh(), "current");
    writeFile(site.home.file("elsewhere.json"), newer("2026-05-03T00:00:00Z", "linked"));
    fs::remove(site.kept);
    fs::create_symlink(site.home.file("elsewhere.json"), site.kept);
    EXPECT_EQ(site.refresh(), "current");

    CatalogueSite linked;
    fs::create_directory(linked.home.file("real"));
    fs::create_directory_symlink(linked.home.file("real"), linked.folder);
    *linked.body = newer("2026-05-10T00:00:00Z", "newer");
    EXPECT_EQ(testing::failureOf([&] { linked.refresh(); }), "Unsafe application directory.");
    EXPECT_FALSE(fs::exists(linked.home.file("real/catalogue.json")));
}

}  // namespace
}  // namespace korvex
