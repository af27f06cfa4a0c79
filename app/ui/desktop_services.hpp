// DesktopServices: the model's platform seam on a Linux desktop.
//
// Browser, file manager and Bin go through Qt GUI and the session bus; preferences live in
// QSettings ("Korvex", "Korvex Imager"). The four dialogs are drawn by QML: each request becomes a
// numbered signal, and the window answers it through the matching invokable. Every request is
// answered at most once: a newer request of the same kind and dismissAll() answer the ones still
// open as dismissed; the destructor drops them unanswered, so the owner calls dismissAll() while
// the model that asked still lives. Lives on the interface thread; string() may be called from any
// thread.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/model/platform_services.hpp"

namespace korvex {

class DesktopServices : public QObject, public PlatformServices {
    Q_OBJECT

  public:
    explicit DesktopServices(QObject* parent = nullptr);
    ~DesktopServices() override;

    void chooseFile(const std::string& title, const std::vector<std::string>& extensions,
                    std::function<void(std::optional<std::string>)> answer) override;
    void chooseFolder(const std::string& title,
                      std::function<void(std::optional<std::string>)> answer) override;
    void confirmErase(const EraseConfirmation& confirmation,
                      std::function<void(EraseAnswer)> answer) override;
    void ask(const Question& question, std::function<void(bool)> answer) override;

    void revealFile(const std::string& path) override;
    void openFolder(const std::string& path) override;
    void openUrl(const std::string& url) override;
    bool moveToTrash(const std::string& path) override;
    std::vector<std::string> preferredLanguages() const override;
    std::optional<std::string> string(std::string_view key) const override;
    void setString(const std::string& key, const std::string& value) override;

    // Answers every open request as dismissed and asks the window to close its dialogs.
    Q_INVOKABLE void dismissAll();

    // Answers from the window. A ticket that is no longer open is ignored.
    Q_INVOKABLE void answerPath(int ticket, const QUrl& location);
    Q_INVOKABLE void answerErase(int ticket, bool accepted, const QString& typed);
    Q_INVOKABLE void answerQuestion(int ticket, bool accepted);

    // True while a dialog request waits for its answer.
    bool pending() const { return !open_.empty(); }

  signals:
    void fileRequested(int ticket, const QString& title, const QStringList& extensions);
    void folderRequested(int ticket, const QString& title);
    void eraseRequested(int ticket, const QString& message, const QString& informative,
                        const QString& cancelText, const QString& acceptText,
                        const QString& placeholder);
    void questionRequested(int ticket, const QString& message, const QString& informative,
                           const QString& cancelText, const QString& acceptText, bool critical);
    // The window closes whatever dialog still shows `ticket` (or all of them for -1).
    void dismissed(int ticket);

  private:
    enum class Kind { Path, Erase, Question };
    struct Open {
        Kind kind;
        std::function<void(std::optional<std::string>)> path;
        std::function<void(EraseAnswer)> erase;
        std::function<void(bool)> question;
    };
    int enqueue(Open request);
    // Removes the ticket before calling its answer, so an answer that asks again is safe.
    std::optional<Open> take(int ticket);
    static void dismiss(Open& request);

    int next_ = 1;
    std::map<int, Open> open_;
    mutable std::mutex settingsLock_;
};

}  // namespace korvex
