#include "ui/Skin.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

namespace stravik::ui {

QPixmap skinImage(const QString& name) { return QPixmap(":/skin/" + name + ".png"); }

void applySkin(QApplication& app)
{
    QPalette p;
    p.setColor(QPalette::Window, colour::window);
    p.setColor(QPalette::WindowText, colour::text);
    p.setColor(QPalette::Base, colour::group);
    p.setColor(QPalette::AlternateBase, colour::panel);
    p.setColor(QPalette::Text, colour::text);
    p.setColor(QPalette::Button, colour::group);
    p.setColor(QPalette::ButtonText, colour::text);
    p.setColor(QPalette::Highlight, colour::accent);
    p.setColor(QPalette::HighlightedText, colour::window);
    p.setColor(QPalette::ToolTipBase, colour::panel);
    p.setColor(QPalette::ToolTipText, colour::text);
    p.setColor(QPalette::PlaceholderText, colour::secondaryText);
    p.setColor(QPalette::Disabled, QPalette::WindowText, colour::secondaryText.darker(130));
    p.setColor(QPalette::Disabled, QPalette::Text, colour::secondaryText.darker(130));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, colour::secondaryText.darker(130));
    app.setPalette(p);
    QFont font = app.font();
    font.setPointSize(kLabelPoints);
    app.setFont(font);
    app.setStyleSheet(QStringLiteral(R"(
QWidget#mainWindow { background-image: url(:/skin/background.png); }
QWidget#pageArea, QStackedWidget#pageArea > QWidget { background: #26282c; }
QLabel { color: #e8e8e8; }
QLabel[role="secondary"] { color: #9ea3a9; font-size: 9pt; }
QLabel[role="title"] { font-size: 12pt; font-weight: bold; }
QGroupBox {
    background: #33363b; border: 1px solid #1d1e21; border-radius: 5px;
    margin-top: 1.1em; padding: 6px 6px 4px 6px;
}
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; color: #9ea3a9; }
QPushButton, QToolButton {
    color: #e8e8e8; border-image: url(:/skin/button.png) 6 6 6 6 stretch;
    border-width: 5px; padding: 1px 6px; min-height: 16px;
}
QPushButton:hover, QToolButton:hover { border-image: url(:/skin/button-hover.png) 6 6 6 6 stretch; }
QPushButton:pressed, QToolButton:pressed { border-image: url(:/skin/button-pressed.png) 6 6 6 6 stretch; }
QPushButton:checked, QToolButton:checked {
    border-image: url(:/skin/button-checked.png) 6 6 6 6 stretch; color: #1d1e21; font-weight: bold;
}
QPushButton:disabled, QToolButton:disabled { color: #6e7379; }
QPushButton#startButton { font-size: 14pt; font-weight: bold; min-width: 140px; min-height: 28px; }
QSlider::groove:horizontal {
    border-image: url(:/skin/groove.png) 2 3 2 3 stretch; border-width: 2px 3px; height: 2px;
}
QSlider::sub-page:horizontal {
    border-image: url(:/skin/groove-fill.png) 2 3 2 3 stretch; border-width: 2px 3px; height: 2px;
}
QSlider::handle:horizontal { image: url(:/skin/handle.png); width: 14px; height: 18px; margin: -8px 0; }
QSlider:horizontal { min-height: 20px; }
QSlider::groove:vertical { background: #33363b; width: 6px; border-radius: 3px; }
QSlider::add-page:vertical { background: #e8912d; width: 6px; border-radius: 3px; }
QSlider::handle:vertical { background: #e8e8e8; height: 10px; margin: 0 -6px; border-radius: 3px; }
QSlider:focus, QComboBox:focus, QCheckBox:focus { outline: none; }
QComboBox {
    background: #33363b; color: #e8e8e8; border: 1px solid #1d1e21; border-radius: 4px; padding: 2px 6px;
}
QComboBox:focus, QLineEdit:focus { border: 1px solid #e8912d; }
QComboBox:disabled, QLineEdit:disabled, QCheckBox:disabled, QRadioButton:disabled { color: #6e7379; }
QComboBox QAbstractItemView { background: #26282c; color: #e8e8e8; selection-background-color: #e8912d; }
QLineEdit, QSpinBox, QDoubleSpinBox {
    background: #1d1e21; color: #e8e8e8; border: 1px solid #33363b; border-radius: 4px; padding: 2px 4px;
}
QCheckBox { color: #e8e8e8; spacing: 6px; }
QCheckBox::indicator { width: 16px; height: 16px; }
QCheckBox::indicator:unchecked { image: url(:/skin/check-off.png); }
QCheckBox::indicator:checked { image: url(:/skin/check-on.png); }
QCheckBox#onOff::indicator:unchecked { image: url(:/skin/lamp-off.png); }
QCheckBox#onOff::indicator:checked { image: url(:/skin/lamp-on.png); }
QRadioButton { color: #e8e8e8; spacing: 6px; }
QRadioButton::indicator { width: 16px; height: 16px; }
QRadioButton::indicator:unchecked { image: url(:/skin/radio-off.png); }
QRadioButton::indicator:checked { image: url(:/skin/radio-on.png); }
QToolTip { background: #26282c; color: #e8e8e8; border: 1px solid #e8912d; }
QMenu { background: #26282c; color: #e8e8e8; border: 1px solid #33363b; }
QMenu::item:selected { background: #e8912d; color: #1d1e21; }
QListWidget, QTableWidget { background: #1d1e21; color: #e8e8e8; border: 1px solid #33363b; }
QTableWidget { gridline-color: #26282c; selection-background-color: #e8912d; selection-color: #1d1e21; }
QHeaderView::section { background: #33363b; color: #9ea3a9; border: none; border-right: 1px solid #26282c;
                       padding: 2px 6px; }
)"));
}

} // namespace stravik::ui
