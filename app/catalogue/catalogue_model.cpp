#include "app/catalogue/catalogue_model.hpp"

#include "app/catalogue/pattern.hpp"
#include "core/base/graphemes.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/json_fields.hpp"

namespace korvex {

using json::Json;

namespace {

// ---- decoding ----

std::optional<std::string> optionalText(const Json& j, std::string_view key) {
    return json::optionalString(j, key, /*nullAsAbsent=*/true);
}

const Json& array(const Json& j, std::string_view key) {
    const Json& value = json::field(j, key);
    if (!value.is_array()) throw DecodeError(std::string(key) + ": expected an array");
    return value;
}

ImageVariant imageFrom(const Json& j) {
    ImageVariant v;
    v.id = json::string(j, "id");
    v.name = json::string(j, "name");
    v.version = json::string(j, "version");
    v.releaseDate = json::string(j, "releaseDate");
    v.platform = optionalText(j, "platform");
    v.changelogPath = optionalText(j, "changelogPath");
    v.downloadUrl = json::string(j, "downloadUrl");
    v.compression = json::string(j, "compression");
    v.compressedSize = json::int64(j, "compressedSize");
    v.expandedSize = json::int64(j, "expandedSize");
    v.sha256 = json::string(j, "sha256");
    v.product = optionalText(j, "product");
    v.board = optionalText(j, "board");
    v.architecture = optionalText(j, "architecture");
    v.device = optionalText(j, "device");
    v.description = optionalText(j, "description");
    v.fileName = optionalText(j, "fileName");
    v.retired = json::optionalBoolean(j, "retired", /*nullAsAbsent=*/true);
    return v;
}

HardwareRule ruleFrom(const Json& j) {
    HardwareRule r;
    r.id = json::string(j, "id");
    r.imageId = json::string(j, "imageId");
    r.priority = json::int64(j, "priority");
    r.confidence = json::string(j, "confidence");
    for (const Json& c : array(j, "all")) {
        r.all.push_back(
            {json::string(c, "field"), json::string(c, "operator"), json::string(c, "value")});
    }
    return r;
}

Catalogue catalogueFrom(const Json& j) {
    Catalogue c;
    c.schemaVersion = json::int64(j, "schemaVersion");
    c.catalogueVersion = json::string(j, "catalogueVersion");
    c.generatedAt = json::string(j, "generatedAt");
    for (const Json& image : array(j, "images")) c.images.push_back(imageFrom(image));
    for (const Json& rule : array(j, "rules")) c.rules.push_back(ruleFrom(rule));
    return c;
}

CatalogueConfig configFrom(const Json& j) {
    CatalogueConfig c;
    c.url = json::string(j, "url");
    const Json& keys = json::field(j, "publicKeys");
    if (!keys.is_object()) throw DecodeError("publicKeys: expected an object");
    for (const auto& [id, key] : keys.items()) c.publicKeys[id] = json::asString(key, id);
    return c;
}

// ---- encoding ----

void put(Json& j, const char* key, const std::optional<std::string>& value) {
    if (value) j[key] = *value;
}

Json toJson(const ImageVariant& v) {
    Json j{{"id", v.id},
           {"name", v.name},
           {"version", v.version},
           {"releaseDate", v.releaseDate},
           {"downloadUrl", v.downloadUrl},
           {"compression", v.compression},
           {"compressedSize", v.compressedSize},
           {"expandedSize", v.expandedSize},
           {"sha256", v.sha256}};
    put(j, "platform", v.platform);
    put(j, "changelogPath", v.changelogPath);
    put(j, "product", v.product);
    put(j, "board", v.board);
    put(j, "architecture", v.architecture);
    put(j, "device", v.device);
    put(j, "description", v.description);
    put(j, "fileName", v.fileName);
    if (v.retired) j["retired"] = *v.retired;
    return j;
}

Json toJson(const HardwareRule& r) {
    Json all = Json::array();
    for (const auto& c : r.all) {
        all.push_back(Json{{"field", c.field}, {"operator", c.operator_}, {"value", c.value}});
    }
    return Json{{"id", r.id},
                {"imageId", r.imageId},
                {"priority", r.priority},
                {"confidence", r.confidence},
                {"all", std::move(all)}};
}

Json toJson(const Catalogue& c) {
    Json images = Json::array();
    for (const auto& image : c.images) images.push_back(toJson(image));
    Json rules = Json::array();
    for (const auto& rule : c.rules) rules.push_back(toJson(rule));
    return Json{{"schemaVersion", c.schemaVersion},
                {"catalogueVersion", c.catalogueVersion},
                {"generatedAt", c.generatedAt},
                {"images", std::move(images)},
                {"rules", std::move(rules)}};
}

// ---- derived values ----

const char* boardLabel(std::string_view board) {
    if (board == "amd64-korvex_iris") return "Intel Modern";
    if (board == "amd64-korvex_slim") return "Intel Slim";
    if (board == "amd64-korvex_apu") return "AMD Graphics";
    return nullptr;
}

constexpr const char* kMiddleDot = " \u00B7 ";

}  // namespace

std::string ImageVariant::label() const {
    if (const char* boardText = boardLabel(board.value_or("")))
        return name + kMiddleDot + boardText;
    if (device && name.find(*device) == std::string::npos) return name + kMiddleDot + *device;
    return name;
}

std::vector<ReleaseDetail> ImageVariant::releaseDetails(bool chinese) const {
    const std::string missing = chinese ? "未提供" : "Not provided";
    return {
        {"version", chinese ? "版本号" : "Version", version},
        {"date", chinese ? "发布日期" : "Release date", releaseDate},
        {"platform", chinese ? "平台" : "Platform", platform.value_or(missing)},
        {"codename", chinese ? "代号" : "Release codename", board.value_or(missing)},
    };
}

bool ImageVariant::safeChangelogPath(std::string_view path) {
    // The length test comes first and is capped, so a huge path costs no more than a short one.
    if (graphemeCount(path, 301) > 300) return false;
    static const Pattern shape("^/(release|blog)/[A-Za-z0-9_./-]+/$");
    if (!shape.search(path)) return false;
    // A caseless class also admits letters that fold to ASCII (the Kelvin sign to "k"); a path
    // joined to the web site's address must be plain ASCII.
    for (char c : path) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    if (path.find("//") != std::string_view::npos) return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (component == "." || component == "..") return false;
        start = end + 1;
    }
    return true;
}

CatalogueTime Catalogue::date() const {
    if (auto whole = parseInternetDateTime(generatedAt, false)) return *whole;
    if (auto fractional = parseInternetDateTime(generatedAt, true)) return *fractional;
    return distantPast();
}

std::vector<ImageVariant> Catalogue::active() const {
    std::vector<ImageVariant> out;
    for (const auto& image : images) {
        if (image.retired != true) out.push_back(image);
    }
    return out;
}

Catalogue decodeCatalogue(std::string_view text) {
    return catalogueFrom(json::parse(text));
}
ImageVariant decodeImageVariant(std::string_view text) {
    return imageFrom(json::parse(text));
}
HardwareRule decodeHardwareRule(std::string_view text) {
    return ruleFrom(json::parse(text));
}
CatalogueConfig decodeCatalogueConfig(std::string_view text) {
    return configFrom(json::parse(text));
}

std::string encode(const Catalogue& value) {
    return toJson(value).dump();
}
std::string encode(const ImageVariant& value) {
    return toJson(value).dump();
}
std::string encode(const HardwareRule& value) {
    return toJson(value).dump();
}
std::string encode(const CatalogueConfig& value) {
    Json keys = Json::object();
    for (const auto& [id, key] : value.publicKeys) keys[id] = key;
    return Json{{"url", value.url}, {"publicKeys", std::move(keys)}}.dump();
}

}  // namespace korvex
