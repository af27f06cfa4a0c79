#include "app/catalogue/signed_catalogue.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>
#include <memory>
#include <set>
#include <system_error>
#include <unordered_set>

#include "app/catalogue/pattern.hpp"
#include "app/model/app_paths.hpp"
#include "core/base/base64.hpp"
#include "core/base/graphemes.hpp"
#include "core/base/unique_fd.hpp"
#include "core/image/image_io.hpp"
#include "core/records/decode_error.hpp"
#include "core/records/imager_error.hpp"
#include "core/records/json_fields.hpp"

namespace korvex {
namespace {

constexpr std::array<unsigned char, 12> kEd25519Prefix = {0x30, 0x2A, 0x30, 0x05, 0x06, 0x03,
                                                          0x2B, 0x65, 0x70, 0x03, 0x21, 0x00};

[[noreturn]] void refuse(const char* message) {
    throw ImagerError(message);
}

SignedCatalogue::Envelope decodeEnvelope(std::string_view data) {
    json::Json j = json::parse(data);
    if (!j.is_object()) throw DecodeError("envelope: expected an object");
    SignedCatalogue::Envelope e;
    e.schemaVersion = json::int64(j, "schemaVersion");
    e.keyId = json::string(j, "keyId");
    e.payload = json::string(j, "payload");
    e.signature = json::string(j, "signature");
    return e;
}

// The key text without armour lines, with every kind of line break removed.
std::string keyBase64(std::string_view text) {
    std::string joined, line;
    auto endLine = [&] {
        if (line.rfind("-----", 0) != 0) joined += line;
        line.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x0A && c <= 0x0D) {
            endLine();
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x85) {  // U+0085
            endLine();
            i += 1;
        } else if (c == 0xE2 && i + 2 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {  // U+2028, U+2029
            endLine();
            i += 2;
        } else {
            line += static_cast<char>(c);
        }
    }
    endLine();
    return joined;
}

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string cryptoText(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

bool signatureHolds(const std::string& rawKey, const std::string& signature,
                    const std::string& payload) {
    std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(rawKey.data()),
        rawKey.size()));
    if (!key) throw CryptoError(cryptoText("Cannot use the Ed25519 public key"));
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        throw CryptoError(cryptoText("Cannot start the signature check"));
    int verdict = EVP_DigestVerify(
        ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
        reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
    ERR_clear_error();
    return verdict == 1;
}

bool longerThan(std::string_view text, std::size_t characters) {
    return graphemeCount(text, characters + 1) > characters;
}

void checkImage(const ImageVariant& image) {
    static const Pattern id("^[a-z0-9][a-z0-9-]{0,63}$");
    static const Pattern sha("^[a-fA-F0-9]{64}$");
    static const Pattern platform("^[0-9]{2,3}-[0-9]{4,6}$");
    static const Pattern fileName("^[A-Za-z0-9][A-Za-z0-9._ -]{0,220}$");

    if (!id.search(image.id) || image.name.empty() || longerThan(image.name, 160) ||
        image.version.empty() || longerThan(image.version, 40) || !sha.search(image.sha256))
        refuse("Invalid image metadata.");
    const std::string& c = image.compression;
    if (image.compressedSize < 1 || image.compressedSize > ImageIO::kMaxImageSize ||
        image.expandedSize < 1 || image.expandedSize > ImageIO::kMaxImageSize ||
        (c != "none" && c != "gz" && c != "xz" && c != "zip"))
        refuse("Invalid image size or compression.");
    SecureNetwork::https(image.downloadUrl);
    if (image.platform && !platform.search(*image.platform)) refuse("Invalid platform version.");
    if (image.changelogPath && !ImageVariant::safeChangelogPath(*image.changelogPath))
        refuse("Invalid release-note path.");
    if (image.fileName && !image.fileName->empty() && !fileName.search(*image.fileName))
        refuse("Invalid image filename.");
}

void checkRule(const HardwareRule& rule, const std::unordered_set<std::string>& imageIds) {
    if (!imageIds.contains(rule.imageId) || rule.priority < 0 || rule.priority > 10000 ||
        (rule.confidence != "exact" && rule.confidence != "likely") || rule.all.empty() ||
        rule.all.size() > 16)
        refuse("Invalid hardware rule.");
    static const std::set<std::string, std::less<>> fields = {"manufacturer", "model", "board",
                                                              "cpu", "gpuPciIds"};
    for (const HardwareRule::Condition& condition : rule.all) {
        const std::string& op = condition.operator_;
        if (!fields.contains(condition.field) ||
            (op != "equals" && op != "contains" && op != "matches") || condition.value.empty() ||
            longerThan(condition.value, 200))
            refuse("Invalid hardware condition.");
    }
}

// At most `limit` bytes of the file at `path`, opened without following a symbolic link;
// nullopt when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return std::nullopt;
    std::string bytes;
    struct stat st {};
    bool ok = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    char buffer[65536];
    while (ok && bytes.size() <= limit) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    fd.reset();
    if (!ok) return std::nullopt;
    return bytes;
}

std::string readResource(const std::string& path) {
    std::optional<std::string> bytes = readSmallFile(path, SignedCatalogue::kMaxEnvelope);
    if (!bytes) throw std::system_error(errno, std::generic_category(), "Cannot read " + path);
    return *bytes;
}

// Writes `bytes` to `folder`/`name` through a temporary file that is then renamed over it.
void writeAtomically(const std::string& folder, const std::string& name, std::string_view bytes) {
    std::string temporary = folder + "/." + name + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) throw std::system_error(errno, std::generic_category(), "Cannot save " + name);
    try {
        if (::fchmod(fd.get(), 0600) != 0)
            throw std::system_error(errno, std::generic_category(), "Cannot save " + name);
        ImageIO::writeAll(fd.get(),
                          std::span<const std::uint8_t>(
                              reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (::fsync(fd.get()) != 0)
            throw std::system_error(errno, std::generic_category(), "Cannot save " + name);
        if (fd.reset() != 0)
            throw std::system_error(errno, std::generic_category(), "Cannot save " + name);
        if (::rename(temporary.c_str(), (folder + "/" + name).c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "Cannot save " + name);
    } catch (...) {
        fd.reset();
        ::unlink(temporary.c_str());
        throw;
    }
    // Make the rename itself durable; the copy is already complete either way.
    if (UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
}

}  // namespace

std::optional<std::string> SignedCatalogue::decodeBase64(std::string_view text) {
    return korvex::decodeBase64(text, std::numeric_limits<std::size_t>::max(),
                                Base64UnusedBits::ignored);
}

Catalogue SignedCatalogue::verify(std::string_view data, const CatalogueConfig& config,
                                  CatalogueTime now) {
    if (data.size() > kMaxEnvelope) refuse("Catalogue is too large.");
    Envelope envelope = decodeEnvelope(data);

    const char* untrusted = "Untrusted catalogue envelope.";
    if (envelope.schemaVersion != 1 || config.publicKeys.empty()) refuse(untrusted);
    auto key = config.publicKeys.find(envelope.keyId);
    if (key == config.publicKeys.end()) refuse(untrusted);
    std::optional<std::string> payload = decodeBase64(envelope.payload);
    if (!payload || payload->size() > kMaxPayload) refuse(untrusted);
    std::optional<std::string> signature = decodeBase64(envelope.signature);
    if (!signature || signature->size() != kSignatureBytes) refuse(untrusted);

    std::optional<std::string> spki = decodeBase64(keyBase64(key->second));
    if (!spki || spki->size() != 44 ||
        !std::equal(kEd25519Prefix.begin(), kEd25519Prefix.end(), spki->begin(),
                    [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }))
        refuse("An Ed25519 public key is required.");
    if (!signatureHolds(spki->substr(12), *signature, *payload))
        refuse("Catalogue signature is invalid.");

    Catalogue catalogue = decodeCatalogue(*payload);

    CatalogueTime date = catalogue.date();
    if (catalogue.schemaVersion != 1 || catalogue.catalogueVersion.empty() ||
        !(date > distantPast()) || !(date < now + kClockTolerance))
        refuse("Invalid catalogue version.");

    if (catalogue.images.empty() || catalogue.images.size() > kMaxImages ||
        catalogue.rules.size() > kMaxRules)
        refuse("Invalid image list.");
    std::unordered_set<std::string> ids;
    for (const ImageVariant& image : catalogue.images)
        if (!ids.insert(image.id).second) refuse("Invalid image list.");

    for (const ImageVariant& image : catalogue.images) checkImage(image);
    for (const HardwareRule& rule : catalogue.rules) checkRule(rule, ids);
    return catalogue;
}

std::pair<Catalogue, CatalogueConfig> SignedCatalogue::bundled(const std::string& resourceFolder) {
    CatalogueConfig config =
        decodeCatalogueConfig(readResource(resourceFolder + "/catalogue-config.json"));
    std::string envelope = readResource(resourceFolder + "/catalogue-bundled.json");
    Catalogue catalogue = verify(envelope, config, currentTime());
    return {std::move(catalogue), std::move(config)};
}

std::pair<Catalogue, CatalogueConfig> SignedCatalogue::bundled() {
    return bundled(AppPaths::resourceFolder());
}

Catalogue SignedCatalogue::refresh(const Catalogue& current, const CatalogueConfig& config,
                                   const RefreshOptions& options) {
    const CatalogueTime now = currentTime();
    Catalogue best = current;
    std::optional<std::string> folder = options.folder;
    try {
        if (!folder) folder = AppPaths::applicationFolder();
        if (auto kept = readSmallFile(*folder + "/" + kKeptCopyName, kMaxEnvelope)) {
            Catalogue candidate = verify(*kept, config, now);
            if (candidate.date() > best.date()) best = std::move(candidate);
        }
    } catch (...) {
        // A missing, damaged or tampered kept copy is simply not a candidate.
    }

    std::string fetched;
    Catalogue fresh;
    try {
        fetched = SecureNetwork::smallData(config.url, options.network);
        fresh = verify(fetched, config, now);
    } catch (...) {
        return best;
    }
    if (!(fresh.date() > best.date())) return best;

    if (!folder) folder = AppPaths::applicationFolder();
    AppPaths::makePrivate(*folder);
    writeAtomically(*folder, kKeptCopyName, fetched);
    return fresh;
}

}  // namespace korvex
