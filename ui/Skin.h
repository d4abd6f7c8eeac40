#pragma once
// The window's look: the palette, the type, and the skin images drawn at
// build time (":/skin/NAME.png", with "@2x" twins for zoom and high-density
// screens). One style sheet dresses every widget, so pages only lay out.
#include <QColor>
#include <QPixmap>
#include <QString>

class QApplication;

namespace stravik::ui {

namespace colour {
inline const QColor window{"#1d1e21"};
inline const QColor panel{"#26282c"};
inline const QColor group{"#33363b"};
inline const QColor text{"#e8e8e8"};
inline const QColor secondaryText{"#9ea3a9"};
inline const QColor accent{"#e8912d"};
inline const QColor lampOn{"#43d17a"};
inline const QColor lampOff{"#3a3d42"};
inline const QColor meterGreen{"#43d17a"};
inline const QColor meterYellow{"#e8c12d"};
inline const QColor meterRed{"#ff4d4d"};
} // namespace colour

// Font sizes in points.
inline constexpr int kLabelPoints = 10;
inline constexpr int kSecondaryPoints = 9;
inline constexpr int kTitlePoints = 12;

// Dresses the application: palette, font and style sheet.
void applySkin(QApplication& app);

// A skin image by name ("lamp-on", "meter-red-off", ...).
QPixmap skinImage(const QString& name);

} // namespace stravik::ui
