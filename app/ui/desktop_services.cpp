#include "app/ui/desktop_services.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QVariant>

namespace korvex {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

QSettings settings() { return QSettings(QStringLiteral("Korvex"), QStringLiteral("Korvex Imager")); }

}  // namespace

DesktopServices::DesktopServices(QObject* parent) : QObject(parent) {}

// Answers still open are dropped, not given: their callbacks belong to a model that may already be
// gone. The owner calls dismissAll() while the model still lives.
DesktopServices::~DesktopServices() = default;

int DesktopServices::enqueue(Open request) {
    for (auto it = open_.begin(); it != open_.end();) {
        if (it->second.kind != request.kind) {
            ++it;
            continue;
        }
        Open older = std::move(it->second);
        const int ticket = it->first;
        it = open_.erase(it);
        emit dismissed(ticket);
        dismiss(older);
    }
    const int ticket = next_++;
    open_.emplace(ticket, std::move(request));
    return ticket;
}

std::optional<DesktopServices::Open> DesktopServices::take(int ticket) {
    auto it = open_.find(ticket);
    if (it == open_.end()) return std::nullopt;
    Open request = std::move(it->second);
    open_.erase(it);
    // A dialog still showing an answered request closes.
    emit dismissed(ticket);
    return request;
}

void DesktopServices::dismiss(Open& request) {
    switch (request.kind) {
    case Kind::Path: request.path(std::nullopt); break;
    case Kind::Erase: request.erase(EraseAnswer{}); break;
    case Kind::Question: request.question(false); break;
    }
}

void DesktopServices::dismissAll() {
    auto open = std::move(open_);
    open_.clear();
    emit dismissed(-1);
    for (auto& [ticket, request] : open) dismiss(request);
}

void DesktopServices::chooseFile(const std::string& title,
                                 const std::vector<std::string>& extensions,
                                 std::function<void(std::optional<std::string>)> answer) {
    QStringList patterns;
    for (const auto& extension : extensions) patterns << q(extension);
    const int ticket = enqueue(Open{.kind = Kind::Path, .path = std::move(answer)});
    emit fileRequested(ticket, q(title), patterns);
}

void DesktopServices::chooseFolder(const std::string& title,
                                   std::function<void(std::optional<std::string>)> answer) {
    const int ticket = enqueue(Open{.kind = Kind::Path, .path = std::move(answer)});
    emit folderRequested(ticket, q(title));
}

void DesktopServices::confirmErase(const EraseConfirmation& confirmation,
                                   std::function<void(EraseAnswer)> answer) {
    const int ticket = enqueue(Open{.kind = Kind::Erase, .erase = std::move(answer)});
    const Question& question = confirmation.question;
    emit eraseRequested(ticket, q(question.message), q(question.informative),
                        q(question.cancelText), q(question.acceptText), q(confirmation.placeholder));
}

void DesktopServices::ask(const Question& question, std::function<void(bool)> answer) {
    const int ticket = enqueue(Open{.kind = Kind::Question, .question = std::move(answer)});
    emit questionRequested(ticket, q(question.message), q(question.informative),
                           q(question.cancelText), q(question.acceptText), question.critical);
}

void DesktopServices::answerPath(int ticket, const QUrl& location) {
    auto request = take(ticket);
    if (!request || request->kind != Kind::Path) return;
    // Only a local file the chooser returned goes on; anything else counts as dismissed.
    if (location.isLocalFile() && !location.toLocalFile().isEmpty())
        request->path(location.toLocalFile().toStdString());
    else
        request->path(std::nullopt);
}

void DesktopServices::answerErase(int ticket, bool accepted, const QString& typed) {
    auto request = take(ticket);
    if (!request || request->kind != Kind::Erase) return;
    request->erase(EraseAnswer{.accepted = accepted, .typed = typed.toStdString()});
}

void DesktopServices::answerQuestion(int ticket, bool accepted) {
    auto request = take(ticket);
    if (!request || request->kind != Kind::Question) return;
    request->question(accepted);
}

void DesktopServices::revealFile(const std::string& path) {
    const QString file = q(path);
    const QString folder = QFileInfo(file).absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder(folder.toStdString());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
    // Asynchronous, so a file manager that is slow to start never freezes the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, folder] {
        if (watcher->isError()) openFolder(folder.toStdString());
        watcher->deleteLater();
    });
}

void DesktopServices::openFolder(const std::string& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(q(path)));
}

void DesktopServices::openUrl(const std::string& url) {
    const QUrl address(q(url), QUrl::StrictMode);
    if (!address.isValid() || address.scheme() != QLatin1String("https") || address.host().isEmpty())
        return;
    QDesktopServices::openUrl(address);
}

bool DesktopServices::moveToTrash(const std::string& path) { return QFile::moveToTrash(q(path)); }

std::vector<std::string> DesktopServices::preferredLanguages() const {
    std::vector<std::string> languages;
    for (const QString& language : QLocale::system().uiLanguages())
        languages.push_back(language.toStdString());
    return languages;
}

std::optional<std::string> DesktopServices::string(std::string_view key) const {
    std::lock_guard<std::mutex> hold(settingsLock_);
    const QVariant value =
        settings().value(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
    if (!value.isValid() || value.typeId() != QMetaType::QString) return std::nullopt;
    return value.toString().toStdString();
}

void DesktopServices::setString(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> hold(settingsLock_);
    QSettings store = settings();
    store.setValue(q(key), q(value));
    store.sync();
}

}  // namespace korvex
