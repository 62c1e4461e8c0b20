#pragma once
// Window layouts are drawn in twips, 1440 to the inch; the screen's logical DPI makes pixels.

#include <QRect>
#include <QWidget>

namespace platform {

inline int TwipsToPixels(int twips, int dpi) {
    return static_cast<int>((static_cast<long long>(twips) * dpi + 720) / 1440);
}

inline int PixelsToTwips(int pixels, int dpi) {
    return dpi <= 0 ? 0 : static_cast<int>((static_cast<long long>(pixels) * 1440 + dpi / 2) / dpi);
}

// Places `widget` at a rectangle given in twips of its parent's client area.
inline void PlaceInTwips(QWidget* widget, int left, int top, int width, int height) {
    const int dpi = widget->logicalDpiX();
    const int dpiY = widget->logicalDpiY();
    widget->setGeometry(TwipsToPixels(left, dpi), TwipsToPixels(top, dpiY),
                        TwipsToPixels(width, dpi), TwipsToPixels(height, dpiY));
}

}  // namespace platform
