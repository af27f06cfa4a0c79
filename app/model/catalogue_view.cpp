#include "app/model/catalogue_view.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <exception>

#include "app/catalogue/pattern.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {
namespace {

// Lower case by the rules of ICU's default locale (the user's, from the environment).
icu::UnicodeString lower(std::string_view text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    u.toLower(icu::Locale::getDefault());
    return u;
}

}  // namespace

std::string CatalogueView::note(bool chinese) {
    return chinese ? "内部测试镜像目录" : "Internal test catalogue";
}

std::vector<ImageVariant> CatalogueView::images(const std::optional<Catalogue>& catalogue,
                                                std::string_view product, std::string_view search) {
    std::vector<ImageVariant> list;
    if (!catalogue) return list;
    const icu::UnicodeString needle = lower(search);
    for (ImageVariant& image : catalogue->active()) {
        if (image.product.value_or("tower") != product) continue;
        if (!needle.isEmpty() && lower(image.label()).indexOf(needle) < 0 &&
            lower(image.device.value_or("")).indexOf(needle) < 0)
            continue;
        list.push_back(std::move(image));
    }
    return list;
}

std::string CatalogueView::guessGraphics(const DeviceProfile& profile) {
    if (profile.gpuNames.size() != 1) return "unknown";
    static const Pattern nvidia("NVIDIA"), intel("INTEL.*(IRIS|HD|UHD)"), amd("AMD|RADEON");
    const std::string& name = profile.gpuNames.front();
    if (nvidia.search(name)) return "nvidia";
    if (intel.search(name)) return "integrated";
    if (amd.search(name)) return "amd";
    return "unknown";
}

std::optional<DeviceProfile> CatalogueView::host(bool other, std::string_view cpu,
                                                 const DeviceProfile& profile) {
    if (!other && cpu == profile.cpu) return profile;
    return std::nullopt;
}

CatalogueView::Loaded CatalogueView::load(const Bundled& bundled, const Refresh& refresh) {
    Loaded loaded;
    try {
        std::pair<Catalogue, CatalogueConfig> shipped = bundled();
        loaded.catalogue = shipped.first;
        loaded.shipped = true;
        loaded.catalogue = refresh(shipped.first, shipped.second);
    } catch (...) {
        loaded.failure = failureText(std::current_exception());
    }
    return loaded;
}

}  // namespace korvex
