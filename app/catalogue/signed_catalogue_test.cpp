#include "app/catalogue/signed_catalogue.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

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

using nlohmann::json;
using signing::SigningKey;
using testing::HttpRequest;
using testing::HttpsConnection;
using testing::HttpsTestServer;
using testing::TempDir;

CatalogueTime at(const char* text) {
    return *parseInternetDateTime(text, false);
}

const CatalogueTime kNow = at("2026-06-01T00:00:00Z");

const SigningKey& mainKey() {
    static const SigningKey key = SigningKey::generate();
    return key;
}

const SigningKey& otherKey() {
    static const SigningKey key = SigningKey::generate();
    return key;
}

CatalogueConfig config() {
    CatalogueConfig c;
    c.url = "https://catalogue.korvex.example/catalogue.json";
    c.publicKeys["main-2026"] = mainKey().publicPem();
    c.publicKeys["other-2026"] = otherKey().publicPem();
    return c;
}

json image(int i) {
    return {{"id", "image-" + std::to_string(i)},
            {"name", "Korvex 20 Tower"},
            {"version", "20.1"},
            {"releaseDate", "2026-05-01"},
            {"platform", "23-0601"},
            {"changelogPath", "/release/20.1/"},
            {"downloadUrl",
             "https://images.korvex.example/korvex-20.1-" + std::to_string(i) + ".img.xz"},
            {"compression", "xz"},
            {"compressedSize", 1000},
            {"expandedSize", 4096},
            {"sha256", std::string(64, 'a')},
            {"fileName", "korvex-20.1.img.xz"}};
}

json rule(int i) {
    return {{"id", "rule-" + std::to_string(i)},
            {"imageId", "image-0"},
            {"priority", 10},
            {"confidence", "exact"},
            {"all", {{{"field", "cpu"}, {"operator", "contains"}, {"value", "Intel"}}}}};
}

json catalogue(int images = 2, int rules = 1, const char* generatedAt = "2026-05-01T00:00:00Z",
               const char* version = "2026.05") {
    json c = {{"schemaVersion", 1},
              {"catalogueVersion", version},
              {"generatedAt", generatedAt},
              {"images", json::array()},
              {"rules", json::array()}};
    for (int i = 0; i < images; ++i) c["images"].push_back(image(i));
    for (int i = 0; i < rules; ++i) c["rules"].push_back(rule(i));
    return c;
}

std::string sealed(const json& payload, const SigningKey& key = mainKey(),
                   const char* keyId = "main-2026") {
    return signing::envelope(payload.dump(), keyId, key);
}

// The message of what verify() throws, "decode" for a DecodeError, or "accepted".
std::string outcome(std::string_view envelope, const CatalogueConfig& c = config(),
                    CatalogueTime now = kNow) {
    try {
        SignedCatalogue::verify(envelope, c, now);
        return "accepted";
    } catch (const ImagerError& e) {
        return e.description();
    } catch (const DecodeError&) {
        return "decode";
    }
}

std::string outcomeOf(const json& payload) {
    return outcome(sealed(payload));
}

TEST(SignedCatalogue, KeyTextMayBeArmouredOrBareWithAnyLineBreaksButMustBeEd25519Spki) {
    std::string pem = mainKey().publicPem();
    std::string body = pem.substr(pem.find('\n') + 1);
    body = body.substr(0, body.find("-----"));
    body.erase(std::remove(body.begin(), body.end(), '\n'), body.end());
    std::string windows = "-----BEGIN PUBLIC KEY-----\r\n" + body.substr(0, 20) + "\r\n" +
                          body.substr(20) + "\r\n-----END PUBLIC KEY-----\r\n";
    std::string unicodeBreaks = "-----BEGIN PUBLIC KEY-----\u2028" + body.substr(0, 30) + "\u0085" +
                                body.substr(30) + "\u2029-----END PUBLIC KEY-----";
    for (const std::string& text : {pem, body, windows, unicodeBreaks}) {
        CatalogueConfig c = config();
        c.publicKeys["main-2026"] = text;
        EXPECT_EQ(outcome(sealed(catalogue()), c), "accepted") << text;
    }
    std::string raw = *SignedCatalogue::decodeBase64(body);
    ASSERT_EQ(raw.size(), 44u);
    std::string p256 =
        "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEQ6ko0+8WFZtlu0P9Fnd6hzXQZXyi34iV9eRdjiefrbUvz4xD"
        "Y7tLydfyNYzLFlQhmKhzAhHpUcD61clh7ZwRvQ==";
    std::string flipped = raw;
    flipped[5] = '\x04';  // a different algorithm identifier, same length
    for (const std::string& text : {encodeBase64(raw.substr(12)), p256, encodeBase64(flipped),
                                    std::string("not base64!"), std::string()}) {
        CatalogueConfig c = config();
        c.publicKeys["main-2026"] = text;
        EXPECT_EQ(outcome(sealed(catalogue()), c), "An Ed25519 public key is required.") << text;
    }
}

TEST(SignedCatalogue, EnvelopeIsCheckedBeforeItsSignature) {
    std::string good = sealed(catalogue());
    ASSERT_EQ(outcome(good), "accepted");

    // Trailing blanks keep the JSON valid: exactly 3 MiB is parsed, one byte more is not.
    std::string exact = good + std::string(SignedCatalogue::kMaxEnvelope - good.size(), ' ');
    EXPECT_EQ(outcome(exact), "accepted");
    EXPECT_EQ(outcome(exact + " "), "Catalogue is too large.");

    EXPECT_EQ(outcome("not json"), "decode");
    json e = json::parse(good);
    auto edited = [&](const std::function<void(json&)>& change) {
        json copy = e;
        change(copy);
        return outcome(copy.dump());
    };
    EXPECT_EQ(edited([](json& j) { j.erase("signature"); }), "decode");
    EXPECT_EQ(edited([](json& j) { j["schemaVersion"] = "1"; }), "decode");
    EXPECT_EQ(edited([](json& j) { j["extra"] = true; }), "accepted");

    const char* untrusted = "Untrusted catalogue envelope.";
    EXPECT_EQ(edited([](json& j) { j["schemaVersion"] = 2; }), untrusted);
    EXPECT_EQ(outcome(good, CatalogueConfig{config().url, {}}), untrusted);
    EXPECT_EQ(edited([](json& j) { j["keyId"] = "Main-2026"; }), untrusted);
    EXPECT_EQ(edited([](json& j) { j["keyId"] = "unknown"; }), untrusted);
    EXPECT_EQ(edited([](json& j) { j["payload"] = j["payload"].get<std::string>() + "\n"; }),
              untrusted);
    EXPECT_EQ(edited([](json& j) { j["payload"] = "abc"; }), untrusted);
    EXPECT_EQ(edited([](json& j) { j["signature"] = encodeBase64(std::string(63, 'x')); }),
              untrusted);
    EXPECT_EQ(edited([](json& j) { j["signature"] = "!!!!"; }), untrusted);
    // A payload over 2 MiB is refused before its (valid) signature is even checked.
    std::string big = catalogue().dump() + std::string(SignedCatalogue::kMaxPayload, ' ');
    EXPECT_EQ(outcome(signing::envelope(big, "main-2026", mainKey())), untrusted);
}

// Faults caught: a NUL byte ending the parse early (a valid value followed by "\0" and anything
// passed), and nesting limited only by memory (3 MiB of '[' cost about 250 MB before any check).
TEST(SignedCatalogue, EveryByteIsParsedAndNestingIsBoundedInEnvelopeAndPayload) {
    const std::string junk = std::string(1, '\0') + std::string(100'000, 'j');
    const std::string payload = catalogue().dump();
    EXPECT_EQ(outcome(sealed(catalogue()) + junk), "decode");
    EXPECT_EQ(outcome(signing::envelope(payload + junk, "main-2026", mainKey())), "decode");

    // Unknown keys are ignored, so only the depth limit can refuse them: 32 levels in all pass.
    auto withDeepKey = [](const std::string& object, int arrays) {
        return "{\"deep\":" + std::string(arrays, '[') + std::string(arrays, ']') + "," +
               object.substr(1);
    };
    for (int arrays : {31, 32}) {
        const char* expected = arrays == 31 ? "accepted" : "decode";
        EXPECT_EQ(outcome(withDeepKey(sealed(catalogue()), arrays)), expected) << arrays;
        EXPECT_EQ(outcome(signing::envelope(withDeepKey(payload, arrays), "main-2026", mainKey())),
                  expected)
            << arrays;
    }
}

TEST(SignedCatalogue, SignatureCoversTheExactPayloadUnderTheNamedKey) {
    std::string payload = catalogue().dump();
    json e = json::parse(signing::envelope(payload, "main-2026", mainKey()));
    std::string changed = payload;
    changed[changed.find("20.1")] = '3';
    e["payload"] = encodeBase64(changed);
    EXPECT_EQ(outcome(e.dump()), "Catalogue signature is invalid.");

    // Signed by the other configured key but naming the main one.
    EXPECT_EQ(outcome(signing::envelope(payload, "main-2026", otherKey())),
              "Catalogue signature is invalid.");
    EXPECT_EQ(outcome(signing::envelope(payload, "other-2026", otherKey())), "accepted");

    // A signed payload that is not a catalogue document fails decoding.
    EXPECT_EQ(outcome(signing::envelope("[1,2]", "main-2026", mainKey())), "decode");
    json missing = catalogue();
    missing["images"][0].erase("sha256");
    EXPECT_EQ(outcomeOf(missing), "decode");
}

TEST(SignedCatalogue, CatalogueVersionAndDate) {
    const char* invalid = "Invalid catalogue version.";
    json c = catalogue();
    c["schemaVersion"] = 2;
    EXPECT_EQ(outcomeOf(c), invalid);
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2026-05-01T00:00:00Z", "")), invalid);
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2025-03-01")), invalid);
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "")), invalid);
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2026-06-01T00:14:59Z")), "accepted");
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2026-06-01T08:14:59.5+08:00")), "accepted");
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2026-06-01T00:15:00Z")), invalid);
    EXPECT_EQ(outcomeOf(catalogue(2, 1, "2001-01-01T00:00:00Z")), "accepted");
}

TEST(SignedCatalogue, ImageAndRuleCounts) {
    const char* invalid = "Invalid image list.";
    EXPECT_EQ(outcomeOf(catalogue(0, 0)), invalid);
    EXPECT_EQ(outcomeOf(catalogue(1, 0)), "accepted");
    EXPECT_EQ(outcomeOf(catalogue(256, 1)), "accepted");
    EXPECT_EQ(outcomeOf(catalogue(257, 1)), invalid);
    EXPECT_EQ(outcomeOf(catalogue(1, 4096)), "accepted");
    EXPECT_EQ(outcomeOf(catalogue(1, 4097)), invalid);

    json twins = catalogue(3);
    twins["images"][2]["id"] = "image-0";
    EXPECT_EQ(outcomeOf(twins), invalid);
    json cases = catalogue(2);
    cases["images"][1]["id"] = "Image-0";  // only exact text makes a duplicate
    EXPECT_EQ(outcomeOf(cases), "accepted");
}

TEST(SignedCatalogue, EachImageIsCheckedInOrderWithTheFirstFailingTestsMessage) {
    struct Case {
        const char* key;
        json value;
        const char* expected;
    };
    const std::string combining = "e\u0301";  // one user-perceived character, two code points
    std::string name160, version41 = std::string(41, 'v');
    for (int i = 0; i < 160; ++i) name160 += combining;
    const char* meta = "Invalid image metadata.";
    const char* size = "Invalid image size or compression.";
    const Case cases[] = {
        {"id", "Image-20", "accepted"},
        {"id", "-20", meta},
        {"id", std::string(65, 'a'), meta},
        {"id", std::string(64, 'a'), "accepted"},
        {"name", "", meta},
        {"name", name160, "accepted"},
        {"name", name160 + "x", meta},
        {"version", version41, meta},
        {"sha256", std::string(64, 'F'), "accepted"},
        {"sha256", std::string(63, 'a'), meta},
        {"sha256", std::string(64, 'g'), meta},
        {"compressedSize", 0, size},
        {"compressedSize", 137438953472LL, "accepted"},
        {"compressedSize", 137438953473LL, size},
        {"expandedSize", 0, size},
        {"compression", "ZIP", size},
        {"compression", "none", "accepted"},
        {"downloadUrl", "http://images.korvex.example/a.img", "An HTTPS download URL is required."},
        {"platform", "2-0601", "Invalid platform version."},
        {"platform", nullptr, "accepted"},
        {"changelogPath", "/release/../admin/", "Invalid release-note path."},
        {"changelogPath", "/Blog/new-year/", "accepted"},
        {"fileName", ".hidden.img", "Invalid image filename."},
        {"fileName", "", "accepted"},
    };
    for (const Case& test : cases) {
        json c = catalogue();
        c["images"][1][test.key] = test.value;  // rules name image-0
        EXPECT_EQ(outcomeOf(c), test.expected) << test.key << " = " << test.value.dump();
    }
    // The first failing test of an image decides, and images are taken in catalogue order.
    json both = catalogue();
    both["images"][0]["id"] = "-x";
    both["images"][0]["compressedSize"] = 0;
    EXPECT_EQ(outcomeOf(both), meta);
    json order = catalogue();
    order["images"][0]["platform"] = "1";
    order["images"][1]["name"] = "";
    EXPECT_EQ(outcomeOf(order), "Invalid platform version.");
}

TEST(SignedCatalogue, EachRuleAndConditionIsChecked) {
    const char* ruleBad = "Invalid hardware rule.";
    const char* conditionBad = "Invalid hardware condition.";
    auto with = [](const std::function<void(json&)>& change) {
        json c = catalogue(2, 2);
        change(c["rules"][1]);
        return outcomeOf(c);
    };
    EXPECT_EQ(with([](json& r) { r["imageId"] = "image-9"; }), ruleBad);
    EXPECT_EQ(with([](json& r) { r["imageId"] = "Image-0"; }), ruleBad);
    EXPECT_EQ(with([](json& r) { r["priority"] = 10000; }), "accepted");
    EXPECT_EQ(with([](json& r) { r["priority"] = 10001; }), ruleBad);
    EXPECT_EQ(with([](json& r) { r["priority"] = -1; }), ruleBad);
    EXPECT_EQ(with([](json& r) { r["confidence"] = "Exact"; }), ruleBad);
    EXPECT_EQ(with([](json& r) { r["all"] = json::array(); }), ruleBad);
    EXPECT_EQ(with([](json& r) {
                  for (int i = 0; i < 15; ++i) r["all"].push_back(r["all"][0]);
              }),
              "accepted");
    EXPECT_EQ(with([](json& r) {
                  for (int i = 0; i < 16; ++i) r["all"].push_back(r["all"][0]);
              }),
              ruleBad);
    EXPECT_EQ(with([](json& r) { r["all"][0]["field"] = "CPU"; }), conditionBad);
    EXPECT_EQ(with([](json& r) { r["all"][0]["operator"] = "regex"; }), conditionBad);
    EXPECT_EQ(with([](json& r) { r["all"][0]["value"] = ""; }), conditionBad);
    EXPECT_EQ(with([](json& r) { r["all"][0]["value"] = std::string(200, 'x'); }), "accepted");
    EXPECT_EQ(with([](json& r) { r["all"][0]["value"] = std::string(201, 'x'); }), conditionBad);
    // A rule may name a retired image; rule checks come after every image check.
    json retired = catalogue(2, 1);
    retired["images"][0]["retired"] = true;
    EXPECT_EQ(outcomeOf(retired), "accepted");
    json late = catalogue(2, 1);
    late["rules"][0]["priority"] = -5;
    late["images"][1]["fileName"] = ".x";
    EXPECT_EQ(outcomeOf(late), "Invalid image filename.");
}

TEST(SignedCatalogue, BundledReadsTheConfigurationAndVerifiesTheShippedCatalogue) {
    TempDir folder;
    json c = {{"url", "https://catalogue.korvex.example/catalogue.json"},
              {"publicKeys", {{"main-2026", mainKey().publicPem()}}}};
    testing::writeFile(folder.file("catalogue-config.json"), c.dump());
    testing::writeFile(folder.file("catalogue-bundled.json"), sealed(catalogue(3, 1)));
    auto [bundledCatalogue, bundledConfig] = SignedCatalogue::bundled(folder.path());
    EXPECT_EQ(bundledCatalogue.images.size(), 3u);
    EXPECT_EQ(bundledConfig.url, "https://catalogue.korvex.example/catalogue.json");

    testing::writeFile(folder.file("catalogue-bundled.json"), sealed(catalogue(3, 1), otherKey()));
    EXPECT_THROW(SignedCatalogue::bundled(folder.path()), ImagerError);
    std::filesystem::remove(folder.file("catalogue-config.json"));
    EXPECT_THROW(SignedCatalogue::bundled(folder.path()), std::system_error);

    // The resources that ship with the application pass their own check.
    auto [shipped, shippedConfig] = SignedCatalogue::bundled(AppPaths::resourceFolder());
    EXPECT_EQ(shippedConfig.publicKeys.size(), 1u);
    EXPECT_TRUE(SecureNetwork::https(shippedConfig.url).host.ends_with(".example"));
    const std::vector<ImageVariant> active = shipped.active();
    auto offers = [&](const char* product, const char* board) {
        for (const ImageVariant& image : active)
            if (image.product == product && image.board == board &&
                SecureNetwork::https(image.downloadUrl).host.ends_with(".example"))
                return true;
        return false;
    };
    for (const char* board : {"amd64-korvex_iris", "amd64-korvex_slim", "amd64-korvex_apu"})
        EXPECT_TRUE(offers("tower", board)) << board;
    for (const char* board : {"rpi4-korvex", "rpi5-korvex", "edge2-korvex"})
        EXPECT_TRUE(offers("boards", board)) << board;
    EXPECT_TRUE(std::any_of(active.begin(), active.end(),
                            [](const ImageVariant& i) { return i.product == "nomad"; }));
    EXPECT_FALSE(shipped.rules.empty());
}

// A catalogue server whose answer the test changes between calls.
struct CatalogueServer {
    HttpsTestServer server;
    std::shared_ptr<std::string> body = std::make_shared<std::string>();
    CatalogueConfig config = korvex::config();

    CatalogueServer() {
        server.route("/catalogue.json", [b = body](const HttpRequest& r, HttpsConnection& c) {
            HttpsTestServer::answerWithRanges(r, c, *b);
        });
        config.url = server.url("/catalogue.json");
    }
    SignedCatalogue::RefreshOptions options(const std::string& folder) const {
        SignedCatalogue::RefreshOptions o;
        o.folder = folder;
        o.network.caFile = server.caFile();
        o.network.requestTimeout = std::chrono::seconds(2);
        return o;
    }
};

Catalogue decoded(const json& payload) {
    return decodeCatalogue(payload.dump());
}

TEST(SignedCatalogueRefresh, KeepsTheNewestValidCatalogueAndWritesOnlyAWinningDownload) {
    CatalogueServer site;
    TempDir home;
    const std::string folder = home.file("Korvex Imager");
    const std::string kept = folder + "/catalogue.json";
    const Catalogue current = decoded(catalogue(2, 1, "2026-05-01T00:00:00Z", "current"));

    // Nothing kept, nothing served (404): the given catalogue stays and nothing is written.
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "current");
    EXPECT_FALSE(std::filesystem::exists(kept));

    // A newer download wins and is kept byte for byte, privately.
    std::string newer = sealed(catalogue(2, 1, "2026-05-10T00:00:00Z", "newer"));
    *site.body = newer;
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "newer");
    EXPECT_EQ(testing::readFile(kept), newer);
    struct stat st {};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file may stay behind";

    // An older download, or one as old as the kept copy, changes nothing.
    *site.body = sealed(catalogue(2, 1, "2026-05-05T00:00:00Z", "older"));
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "newer");
    *site.body = sealed(catalogue(2, 1, "2026-05-10T00:00:00Z", "same-date"));
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "newer");
    EXPECT_EQ(testing::readFile(kept), newer);

    // A download that fails its check is ignored.
    *site.body = sealed(catalogue(2, 1, "2026-05-20T00:00:00Z", "forged"), otherKey());
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "newer");
    EXPECT_EQ(testing::readFile(kept), newer);
    // So is a newer one with bytes after a NUL: they never reach the kept copy.
    *site.body = sealed(catalogue(2, 1, "2026-05-20T00:00:00Z", "padded")) + '\0' + "junk";
    EXPECT_EQ(SignedCatalogue::refresh(current, site.config, site.options(folder)).catalogueVersion,
              "newer");
    EXPECT_EQ(testing::readFile(kept), newer);
}

TEST(SignedCatalogueRefresh, UnreachableServerAndDamagedKeptCopy) {
    TempDir home;
    const std::string folder = home.file("Korvex Imager");
    std::filesystem::create_directory(folder);
    const std::string kept = folder + "/catalogue.json";
    CatalogueConfig c = config();
    SignedCatalogue::RefreshOptions options;
    options.folder = folder;
    options.network.requestTimeout = std::chrono::seconds(2);
    {
        HttpsTestServer gone;
        c.url = gone.url("/catalogue.json");
        options.network.caFile = gone.caFile();
    }
    const Catalogue current = decoded(catalogue(2, 1, "2026-05-01T00:00:00Z", "current"));

    testing::writeFile(kept, sealed(catalogue(2, 1, "2026-05-01T00:00:00Z", "kept-same")));
    EXPECT_EQ(SignedCatalogue::refresh(current, c, options).catalogueVersion, "current");
    testing::writeFile(kept, sealed(catalogue(2, 1, "2026-05-02T00:00:00Z", "kept-newer")));
    EXPECT_EQ(SignedCatalogue::refresh(current, c, options).catalogueVersion, "kept-newer");

    // One changed byte of the kept copy's payload: ignored.
    json e = json::parse(testing::readFile(kept));
    std::string payload = *SignedCatalogue::decodeBase64(e["payload"].get<std::string>());
    payload[payload.find("kept-newer")] = 'K';
    e["payload"] = encodeBase64(payload);
    testing::writeFile(kept, e.dump());
    EXPECT_EQ(SignedCatalogue::refresh(current, c, options).catalogueVersion, "current");

    // A kept copy reached through a symbolic link is never read.
    testing::writeFile(home.file("elsewhere.json"),
                       sealed(catalogue(2, 1, "2026-05-03T00:00:00Z", "linked")));
    std::filesystem::remove(kept);
    std::filesystem::create_symlink(home.file("elsewhere.json"), kept);
    EXPECT_EQ(SignedCatalogue::refresh(current, c, options).catalogueVersion, "current");
}

TEST(SignedCatalogueRefresh, AWinningDownloadThatCannotBeKeptFailsTheRefresh) {
    CatalogueServer site;
    TempDir home;
    std::filesystem::create_directory(home.file("real"));
    const std::string folder = home.file("Korvex Imager");
    std::filesystem::create_directory_symlink(home.file("real"), folder);
    *site.body = sealed(catalogue(2, 1, "2026-05-10T00:00:00Z", "newer"));
    const Catalogue current = decoded(catalogue(2, 1, "2026-05-01T00:00:00Z", "current"));
    EXPECT_EQ(testing::failureOf(
                  [&] { SignedCatalogue::refresh(current, site.config, site.options(folder)); }),
              "Unsafe application directory.");
    EXPECT_FALSE(std::filesystem::exists(home.file("real/catalogue.json")));
}

}  // namespace
}  // namespace korvex
