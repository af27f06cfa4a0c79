// Recommender: which catalogue image should a user try on the computer described by a processor
// text and a graphics choice ("integrated", "amd", "nvidia" or "unknown")?
//
// In order: hard exclusions (no catalogue, ARM computers, NVIDIA graphics), the catalogue's own
// hardware rules when the described computer is the one the application runs on, then fixed
// knowledge of processor families mapped to three x86 desktop boards, the newest "tower" x86_64
// image of the board winning.
//
// A pure function of its arguments: safe from any thread; never fails.
#pragma once

#include <optional>
#include <string_view>

#include "app/catalogue/catalogue_model.hpp"
#include "app/catalogue/device_profile.hpp"
#include "app/catalogue/processor_inventory.hpp"
#include "app/catalogue/recommendation.hpp"

namespace korvex {

struct Recommender {
    // `host` is the profile of the computer running the application, when the description is of
    // that computer; `catalogue` is the current verified catalogue, when one is loaded.
    static Recommendation recommend(std::string_view cpu, std::string_view graphics,
                                    const std::optional<Catalogue>& catalogue,
                                    const ProcessorInventory& inventory,
                                    const std::optional<DeviceProfile>& host);

    // Whether one rule condition holds for `host` (fields "manufacturer", "model" and "cpu" only;
    // operators "equals" and "contains" ignore case, "matches" is a caseless regular-expression
    // search). Anything else, and an empty host value, does not hold.
    static bool holds(const HardwareRule::Condition& condition, const DeviceProfile& host);
};

}  // namespace korvex
