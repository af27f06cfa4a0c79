// PlatformServices: everything the application model asks of the desktop, behind one seam.
//
// The model never draws a dialog or talks to the desktop itself. It asks through this interface
// and goes on only when the answer comes back, so a question is asynchronous but the model's steps
// keep their order. Every call is made on the interface thread, and every answer callback must be
// invoked on the interface thread, exactly once (a dismissed dialog answers "no"/nullopt).
//
// The window's realisation (Qt GUI, D-Bus, QSettings) lives in app/ui; tests pass their own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/model/preferences.hpp"

namespace korvex {

// A modal question with two buttons, the second the one that goes on.
struct Question {
    std::string message;      // the alert's title
    std::string informative;  // the text under it; may hold line feeds
    std::string cancelText;   // first button
    std::string acceptText;   // second button
    bool critical = false;    // drawn in the critical style
};

// The typed confirmation before a drive is erased: a critical question with a text field.
struct EraseConfirmation {
    Question question;        // critical
    std::string placeholder;  // the drive's identifier, shown greyed in the empty field
};

// The answer to an EraseConfirmation: which button, and what was typed (untrimmed).
struct EraseAnswer {
    bool accepted = false;
    std::string typed;
};

class PlatformServices : public PreferenceStore {
  public:
    ~PlatformServices() override = default;

    // An existing file to open; `extensions` without dots ("img", "xz", ...).
    virtual void chooseFile(const std::string& title, const std::vector<std::string>& extensions,
                            std::function<void(std::optional<std::string> path)> answer) = 0;
    // A folder, where the user may create new folders.
    virtual void chooseFolder(const std::string& title,
                              std::function<void(std::optional<std::string> path)> answer) = 0;
    virtual void confirmErase(const EraseConfirmation& confirmation,
                              std::function<void(EraseAnswer)> answer) = 0;
    virtual void ask(const Question& question, std::function<void(bool accepted)> answer) = 0;

    // Shows a file selected in its folder in the file manager.
    virtual void revealFile(const std::string& path) = 0;
    // Opens a folder in the file manager.
    virtual void openFolder(const std::string& path) = 0;
    // Opens an https address in the browser.
    virtual void openUrl(const std::string& url) = 0;
    // Moves a file to the user's Bin; false when it could not.
    virtual bool moveToTrash(const std::string& path) = 0;

    // The user's preferred interface languages, most preferred first ("zh-Hans-CN", "en-GB").
    virtual std::vector<std::string> preferredLanguages() const = 0;

    // Preferences: PreferenceStore::string reads, this writes.
    virtual void setString(const std::string& key, const std::string& value) = 0;
};

}  // namespace korvex
