// Recommendation: the recommender's answer (an image or none, a reason key, whether the image is
// only a trial suggestion) and the sentences the interface shows for each reason key.
//
// Plain values and pure functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/catalogue/catalogue_model.hpp"

namespace korvex {

struct Recommendation {
    std::optional<ImageVariant> image;  // the suggested image, or none
    std::string reason;  // "arm", "nvidia", "discrete", "legacy", "intel-unknown", "amd-unknown",
                         // "disable-nvidia", "exact", "intel-trial", "amd-trial", "catalogue",
                         // "unknown"
    bool trial = true;   // false only for an exact rule match

    friend bool operator==(const Recommendation&, const Recommendation&) = default;
};

// The sentence for `reason` in Chinese or English; "unknown" and any unlisted key give the
// "not enough information" sentence.
std::string reasonText(std::string_view reason, bool chinese);

}  // namespace korvex
