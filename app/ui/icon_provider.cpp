#include "app/ui/icon_provider.hpp"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>

namespace korvex {

IconProvider::IconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

QImage IconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const QStringList parts = id.split(QLatin1Char('/'));
    static const QRegularExpression name(QStringLiteral("^[a-z0-9-]{1,40}$"));
    static const QRegularExpression colour(QStringLiteral("^[0-9a-fA-F]{6}$"));
    const QSize target = requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize
                                                                             : QSize(24, 24);
    if (size) *size = target;
    QImage image(target, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (parts.size() != 2 || !name.match(parts[0]).hasMatch() || !colour.match(parts[1]).hasMatch())
        return image;
    QFile file(QStringLiteral(":/icons/") + parts[0] + QStringLiteral(".svg"));
    if (!file.open(QIODevice::ReadOnly)) return image;
    QByteArray svg = file.readAll();
    svg.replace("currentColor", "#" + parts[1].toLatin1());
    QSvgRenderer renderer(svg);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    return image;
}

}  // namespace korvex
