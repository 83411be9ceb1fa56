// Dialog templates are laid out in dialog units: a quarter of the font's
// average character width across, an eighth of its height down.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QWidget>

namespace velmora::qt {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics metrics(font);
        // The average width of the alphabet, as the dialog manager measures it.
        baseX_ = (metrics.horizontalAdvance(
                      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2;
        baseY_ = metrics.height();
    }
    int X(int units) const { return (units * baseX_ + 2) / 4; }
    int Y(int units) const { return (units * baseY_ + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    void Place(QWidget* widget, int x, int y, int width, int height) const {
        widget->setGeometry(Rect(x, y, width, height));
    }

private:
    int baseX_ = 6;
    int baseY_ = 13;
};

} // namespace velmora::qt
