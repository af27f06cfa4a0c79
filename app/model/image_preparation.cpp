#include "app/model/image_preparation.hpp"

#include <algorithm>

#include "app/model/image_download.hpp"
#include "core/base/ascii_text.hpp"
#include "core/records/imager_error.hpp"

namespace korvex {

PreparedImage ImagePreparation::prepare(const std::optional<std::string>& local,
                                        const std::optional<ImageVariant>& selected,
                                        const std::string& directory, const Cancellation& cancel,
                                        const ProgressCallback& progress, const Fetch& fetch) {
    std::string source;
    if (local) {
        source = *local;
    } else if (selected) {
        source = fetch ? fetch(*selected, directory, cancel, progress)
                       : ImageDownload::fetch(*selected, directory, cancel, progress);
    } else {
        throw ImagerError("No image selected.");
    }
    Inspection inspection = ImageIO::inspect(source, cancel, progress);
    if (selected && !matches(inspection, *selected))
        throw ImagerError("Image content does not match the signed catalogue.");
    return {std::move(source), std::move(inspection)};
}

bool ImagePreparation::matches(const Inspection& inspection, const ImageVariant& entry) {
    const std::string expected = lowerAscii(entry.sha256);
    return inspection.sha256 == expected && inspection.bytes == entry.compressedSize &&
           inspection.expanded == entry.expandedSize;
}

void ImagePreparation::checkCapacity(const std::optional<TargetDisk>& drive,
                                     const Inspection& inspection, bool chinese) {
    if (!drive) throw ImagerError("Choose a USB drive.");
    // A negative expanded size never comes out of an inspection; treat it as too large rather
    // than let the unsigned comparison pass it.
    if (inspection.expanded < 0 ||
        drive->capacity < static_cast<std::uint64_t>(inspection.expanded))
        throw ImagerError(chinese ? "目标盘容量不足。请换一个容量更大的盘。"
                                  : "The selected drive is too small. Choose a larger drive.");
}

void ImagePreparation::checkStillListed(const TargetDisk& drive,
                                        const std::vector<TargetDisk>& listing) {
    if (std::find(listing.begin(), listing.end(), drive) == listing.end())
        throw ImagerError(kSelectedDriveChanged);
}

}  // namespace korvex
