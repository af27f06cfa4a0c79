// IconProvider: the bundled line symbols, drawn in any colour at any size.
//
// QML asks for "image://icon/NAME/COLOUR" (COLOUR as "rrggbb"); the SVG's "currentColor" takes
// that colour. Unknown names give an empty image. Safe to call from Qt Quick's loader threads.
#pragma once

#include <QQuickImageProvider>

namespace korvex {

class IconProvider : public QQuickImageProvider {
  public:
    IconProvider();
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

}  // namespace korvex
