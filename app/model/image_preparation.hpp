// ImagePreparation: turns the user's choice of image into a file the writer may be given, and
// checks the chosen drive against it before anyone is asked to confirm the erase.
//
// One piece shared by the window's model and the command line, so both apply the same proofs: a
// catalogue image is downloaded into the cache (verified by the download itself), then inspected,
// and its inspection must agree with the signed entry; a local file is inspected alone.
//
// Plain C++ without Qt. Every operation blocks its caller and calls `progress` on the calling
// thread; the Cancellation is the only state it shares. Failures: ImagerError (a message or the
// cancelled value) with the texts below, and whatever the download and inspection throw, passed
// on unchanged.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/catalogue/catalogue_model.hpp"
#include "core/image/image_io.hpp"
#include "core/records/cancellation.hpp"
#include "core/records/records.hpp"

namespace korvex {

// The file a preparation produced and what it holds.
struct PreparedImage {
    std::string path;
    Inspection inspection;
};

struct ImagePreparation {
    // Brings `image` into `directory`, verified, and returns the file's path (ImageDownload::fetch
    // with its default network options, unless a caller passes its own).
    using Fetch =
        std::function<std::string(const ImageVariant& image, const std::string& directory,
                                  const Cancellation& cancel, const ProgressCallback& progress)>;

    // The source is `local` when given, else the download of `selected` into `directory`; with
    // neither, "No image selected.". The source is inspected, and whenever `selected` is given the
    // inspection must agree with it, else "Image content does not match the signed catalogue.".
    static PreparedImage prepare(const std::optional<std::string>& local,
                                 const std::optional<ImageVariant>& selected,
                                 const std::string& directory, const Cancellation& cancel,
                                 const ProgressCallback& progress, const Fetch& fetch = {});

    // True when the stored size, stored SHA-256 (the entry's in any letter case) and expanded size
    // are the entry's.
    static bool matches(const Inspection& inspection, const ImageVariant& entry);

    // Throws "Choose a USB drive." without a drive, and the capacity text (Chinese or English)
    // when the drive is smaller than the expanded image; an equal size passes.
    static void checkCapacity(const std::optional<TargetDisk>& drive, const Inspection& inspection,
                              bool chinese);

    // Throws kSelectedDriveChanged unless `listing` holds a drive equal to `drive` in every field.
    static void checkStillListed(const TargetDisk& drive, const std::vector<TargetDisk>& listing);
};

}  // namespace korvex
