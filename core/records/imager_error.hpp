// ImagerError: the one error type a user of Korvex Imager ever sees.
//
// Two cases: a message carrying a user-facing text, and "cancelled". what() is the description
// text, which is also what the writer puts into its "error" and "cancelled" events.
// Values are immutable and safe to copy and to share between threads.
#pragma once

#include <exception>
#include <string>

namespace korvex {

class ImagerError : public std::exception {
  public:
    // The message case.
    explicit ImagerError(std::string message) : text_(std::move(message)) {}

    // The cancelled case.
    static ImagerError cancelled() { return ImagerError(Cancelled{}); }

    bool isCancelled() const noexcept { return cancelled_; }

    // The description text: the message itself, or "Operation cancelled.".
    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const ImagerError& a, const ImagerError& b) {
        return a.cancelled_ == b.cancelled_ && a.text_ == b.text_;
    }

  private:
    struct Cancelled {};
    explicit ImagerError(Cancelled) : text_("Operation cancelled."), cancelled_(true) {}

    std::string text_;
    bool cancelled_ = false;
};

// The failure of every check that the drive about to be written is still the chosen one, still an
// allowed external drive and still present: in the application before it asks for rights, and in
// the writer before it opens the drive.
inline constexpr char kSelectedDriveChanged[] =
    "The selected drive changed, is protected or was disconnected. Select it again.";

// What a cancelled operation shows, whether or not writing had begun: the drive may hold part of
// the image by then.
inline constexpr char kWriteCancelled[] =
    "Cancelled. If writing had started, recreate the USB before using it.";

// The text a caught failure shows: an ImagerError's description, another exception's what(), or
// "Unexpected failure." for anything else. `cancelled`, when given, says whether it was the
// cancelled case, which callers word themselves.
inline std::string failureText(const std::exception_ptr& failure, bool* cancelled = nullptr) {
    if (cancelled != nullptr) *cancelled = false;
    try {
        std::rethrow_exception(failure);
    } catch (const ImagerError& e) {
        if (cancelled != nullptr) *cancelled = e.isCancelled();
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unexpected failure.";
    }
}

}  // namespace korvex
