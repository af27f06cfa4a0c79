// AppPaths: where the application keeps its files, and the one check every private folder passes.
//
// The application folder is "$XDG_DATA_HOME/Korvex Imager" ($XDG_DATA_HOME defaulting to
// ~/.local/share). It holds the catalogue's kept copy, the diagnostics log and, unless the user
// chose another download folder, the download cache "Images". Nothing here is cached: every call
// looks at the environment again. Stateless; safe from any thread.
#pragma once

#include <string>

#include "app/model/preferences.hpp"

namespace korvex {

struct AppPaths {
    static constexpr const char* kFolderName = "Korvex Imager";

    // "$XDG_DATA_HOME/Korvex Imager", or "$HOME/.local/share/Korvex Imager" when XDG_DATA_HOME is
    // unset, empty or relative. Throws ImagerError "Cannot locate the application folder." when
    // there is no home folder either. Not created here.
    static std::string applicationFolder();

    // The download cache: "<downloadDirectory preference>/Images" when the preference holds a
    // non-empty path, else "<application folder>/Images". Not created here.
    static std::string cache(const PreferenceStore& preferences);

    // Creates `folder` (and missing parents) with mode 0700; an existing folder is kept as it is.
    // Then demands that `folder` itself is a directory and not a symbolic link, else throws
    // ImagerError "Unsafe application directory.". A failure to create or examine it is thrown as
    // std::system_error.
    static void makePrivate(const std::string& folder);

    // The folder holding the shipped resources (catalogue-config.json, catalogue-bundled.json):
    // "resources" beside the program, then "PREFIX/share/korvex-imager" for a program in
    // PREFIX/bin, then the source tree's resources for development builds (not in the package).
    // Throws ImagerError "Cannot locate the application resources." when none holds the
    // catalogue configuration.
    static std::string resourceFolder();
};

}  // namespace korvex
