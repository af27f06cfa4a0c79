// CatalogueView: what the application shows of a catalogue and of the hardware questions, as
// plain functions over the catalogue records, so the window's model and the command line word
// and filter things alike.
//
// Pure functions of their arguments (load() only calls the functions it is given); safe from any
// thread. Plain C++ without Qt.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/catalogue/catalogue_model.hpp"
#include "app/catalogue/device_profile.hpp"

namespace korvex {

struct CatalogueView {
    // The note shown while a shipped (internal test) catalogue is in use.
    static std::string note(bool chinese);

    // The active images of `catalogue`, in its order, whose product ("tower" when the image has
    // none) is `product` and, when `search` is not empty, whose label or device contains `search`
    // ignoring letter case by the rules of the user's locale. Empty without a catalogue.
    static std::vector<ImageVariant> images(const std::optional<Catalogue>& catalogue,
                                            std::string_view product, std::string_view search);

    // The graphics answer guessed for this computer: from its single graphics device name,
    // "nvidia", "integrated" (Intel Iris, HD or UHD) or "amd"; "unknown" for any other name and
    // for no or several names.
    static std::string guessGraphics(const DeviceProfile& profile);

    // The host profile the recommender may use: `profile` only for this computer described by
    // its own detected processor name, since the catalogue's hardware rules need the real host.
    static std::optional<DeviceProfile> host(bool other, std::string_view cpu,
                                             const DeviceProfile& profile);

    // The catalogue as the application loads it: the shipped one, then the newest after a
    // refresh. A failure of the first step skips the second; a failure of the second keeps the
    // shipped catalogue. `failure` holds the failure's own message (for the log); the user is
    // shown reasonText("catalogue").
    struct Loaded {
        std::optional<Catalogue> catalogue;
        bool shipped = false;  // the shipped catalogue loaded: the note applies
        std::optional<std::string> failure;
    };
    using Bundled = std::function<std::pair<Catalogue, CatalogueConfig>()>;
    using Refresh = std::function<Catalogue(const Catalogue&, const CatalogueConfig&)>;
    static Loaded load(const Bundled& bundled, const Refresh& refresh);
};

}  // namespace korvex
