// The desktop for tests of the application model: dialogs answer as the test says, later on the
// event loop; every request is recorded; the Bin is a folder of the test's own; preferences live
// in memory. Needs a QCoreApplication.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/model/platform_services.hpp"

namespace korvex::testing {

class TestPlatform : public PlatformServices {
  public:
    std::vector<std::string> languages{"en-GB"};
    std::optional<std::string> file, folder;  // the choosers' answers; nullopt: dismissed
    // Answers the erase confirmation; by default the identifier typed exactly and accepted.
    std::function<void(const EraseConfirmation&, std::function<void(EraseAnswer)>)> onConfirm =
        [](const EraseConfirmation& c, std::function<void(EraseAnswer)> answer) {
            later([answer, typed = c.placeholder] { answer({true, typed}); });
        };
    bool askAnswer = true, trashWorks = true;
    std::string bin;  // where moveToTrash puts files; must exist
    // What the model asked, in order: "reveal PATH", "folder PATH", "url URL", "trash PATH",
    // "confirm INFORMATIVE", "ask MESSAGE", "file TITLE", "chooseFolder TITLE".
    std::vector<std::string> calls;

    static void later(std::function<void()> f) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f), Qt::QueuedConnection);
    }

    void chooseFile(const std::string& title, const std::vector<std::string>&,
                    std::function<void(std::optional<std::string>)> answer) override {
        calls.push_back("file " + title);
        later([answer, f = file] { answer(f); });
    }
    void chooseFolder(const std::string& title,
                      std::function<void(std::optional<std::string>)> answer) override {
        calls.push_back("chooseFolder " + title);
        later([answer, f = folder] { answer(f); });
    }
    void confirmErase(const EraseConfirmation& confirmation,
                      std::function<void(EraseAnswer)> answer) override {
        calls.push_back("confirm " + confirmation.question.informative);
        onConfirm(confirmation, std::move(answer));
    }
    void ask(const Question& question, std::function<void(bool)> answer) override {
        calls.push_back("ask " + question.message);
        later([answer, a = askAnswer] { answer(a); });
    }
    void revealFile(const std::string& path) override { calls.push_back("reveal " + path); }
    void openFolder(const std::string& path) override { calls.push_back("folder " + path); }
    void openUrl(const std::string& url) override { calls.push_back("url " + url); }
    bool moveToTrash(const std::string& path) override {
        calls.push_back("trash " + path);
        std::error_code ec;
        if (trashWorks)
            std::filesystem::rename(
                path, bin + "/" + std::filesystem::path(path).filename().string(), ec);
        return trashWorks && !ec;
    }
    std::vector<std::string> preferredLanguages() const override { return languages; }

    std::optional<std::string> string(std::string_view key) const override {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = preferences_.find(std::string(key));
        return it == preferences_.end() ? std::nullopt : std::optional(it->second);
    }
    void setString(const std::string& key, const std::string& value) override {
        std::lock_guard<std::mutex> hold(lock_);
        preferences_[key] = value;
    }

  private:
    mutable std::mutex lock_;  // preferences are read from worker threads too
    std::map<std::string, std::string> preferences_;
};

}  // namespace korvex::testing
