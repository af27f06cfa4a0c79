#include "app/ui/main_window.hpp"

#include <QtQml/qqmlextensionplugin.h>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QQmlEngine>
#include <QTranslator>

#include "app/model/app_model.hpp"
#include "app/ui/desktop_services.hpp"
#include "app/ui/icon_provider.hpp"
#include "app/ui/shell.hpp"

Q_IMPORT_QML_PLUGIN(KorvexImagerPlugin)

namespace korvex {

namespace {

constexpr const char* kUri = "Korvex.Imager.Backend";

// Each engine carries its own three objects, so tests can build one window after another.
template <const char* Key>
QObject* fromEngine(QQmlEngine* engine, QJSEngine*) {
    QObject* object = engine->property(Key).value<QObject*>();
    QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

constexpr char kModel[] = "kviModel";
constexpr char kDesk[] = "kviDesk";
constexpr char kShell[] = "kviShell";

void registerOnce() {
    static const bool done = [] {
        qmlRegisterSingletonType<AppModel>(kUri, 1, 0, "Model", fromEngine<kModel>);
        qmlRegisterSingletonType<DesktopServices>(kUri, 1, 0, "Desk", fromEngine<kDesk>);
        qmlRegisterSingletonType<Shell>(kUri, 1, 0, "Shell", fromEngine<kShell>);
        return true;
    }();
    (void)done;
}

// The file chooser's two labels, which Qt's own Chinese catalogue leaves out.
class ChooserLabels : public QTranslator {
  public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* text, const char*, int) const override {
        if (qstrcmp(context, "FileDialog") != 0) return {};
        if (qstrcmp(text, "Filter") == 0) return QStringLiteral("筛选");
        if (qstrcmp(text, "File name") == 0) return QStringLiteral("文件名");
        return {};
    }
    bool isEmpty() const override { return false; }
};

// Qt's own texts (the file and folder choosers' buttons) follow the interface language at once.
void followLanguage(QQmlApplicationEngine& engine, AppModel& model) {
    auto* translator = new QTranslator(&engine);
    auto* labels = new ChooserLabels(&engine);
    auto apply = [&engine, &model, translator, labels] {
        QCoreApplication::removeTranslator(translator);
        QCoreApplication::removeTranslator(labels);
        if (model.chinese()) {
            if (translator->load(QStringLiteral("qt_zh_CN"),
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
                QCoreApplication::installTranslator(translator);
            QCoreApplication::installTranslator(labels);
        }
        engine.retranslate();
    };
    QObject::connect(&model, &AppModel::chineseChanged, &engine, apply);
    apply();
}

}  // namespace

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, AppModel& model,
                             DesktopServices& services, Shell& shell) {
    registerOnce();
    engine.setProperty(kModel, QVariant::fromValue<QObject*>(&model));
    engine.setProperty(kDesk, QVariant::fromValue<QObject*>(&services));
    engine.setProperty(kShell, QVariant::fromValue<QObject*>(&shell));
    engine.addImageProvider(QStringLiteral("icon"), new IconProvider);
    followLanguage(engine, model);
    engine.load(QUrl(QStringLiteral("qrc:/Korvex/Imager/Main.qml")));
    const auto roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
}

}  // namespace korvex
