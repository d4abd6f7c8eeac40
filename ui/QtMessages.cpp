#include "ui/QtMessages.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <future>
#include <memory>

namespace stravik::ui {
namespace {

QMessageBox::Icon boxIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

MessageAnswer cautious(MessageButtons buttons)
{
    switch (buttons) {
    case MessageButtons::YesNo: return MessageAnswer::No;
    case MessageButtons::OkCancel: return MessageAnswer::Cancel;
    case MessageButtons::Ok: break;
    }
    return MessageAnswer::Ok;
}

} // namespace

QtMessages::QtMessages(QObject* parent) : QObject(parent) {}

bool QtMessages::onWindowThread() const { return QThread::currentThread() == thread(); }

void QtMessages::showBox(const QString& text, const QString& title, MessageIcon icon)
{
    QMessageBox box(boxIcon(icon), title.isEmpty() ? QStringLiteral("Stravik") : title, text, QMessageBox::Ok,
                    window_.data());
    box.exec();
}

MessageAnswer QtMessages::askBox(const QString& text, const QString& title, MessageButtons buttons,
                                 MessageIcon icon)
{
    const QMessageBox::StandardButtons shown = buttons == MessageButtons::YesNo      ? QMessageBox::Yes | QMessageBox::No
                                               : buttons == MessageButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                                                     : QMessageBox::Ok;
    QMessageBox box(boxIcon(icon), title.isEmpty() ? QStringLiteral("Stravik") : title, text, shown, window_.data());
    switch (box.exec()) {
    case QMessageBox::Yes: return MessageAnswer::Yes;
    case QMessageBox::No: return MessageAnswer::No;
    case QMessageBox::Cancel: return MessageAnswer::Cancel;
    default: return MessageAnswer::Ok;
    }
}

void QtMessages::show(const std::string& text, const std::string& title, MessageIcon icon)
{
    const QString t = QString::fromStdString(text), h = QString::fromStdString(title);
    if (onWindowThread()) {
        showBox(t, h, icon);
        return;
    }
    if (closing_) return;
    QMetaObject::invokeMethod(this, [this, t, h, icon] { showBox(t, h, icon); }, Qt::QueuedConnection);
}

MessageAnswer QtMessages::ask(const std::string& text, const std::string& title, MessageButtons buttons,
                              MessageIcon icon)
{
    const QString t = QString::fromStdString(text), h = QString::fromStdString(title);
    if (onWindowThread()) return askBox(t, h, buttons, icon);
    if (closing_) return cautious(buttons);
    auto answer = std::make_shared<std::promise<MessageAnswer>>();
    std::future<MessageAnswer> result = answer->get_future();
    QMetaObject::invokeMethod(
        this,
        [this, answer, t, h, buttons, icon] {
            answer->set_value(closing_ ? cautious(buttons) : askBox(t, h, buttons, icon));
        },
        Qt::QueuedConnection);
    // The window's thread may be waiting for this one (closing the program
    // waits for the run): then nobody will answer.
    while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (closing_) return cautious(buttons);
    return result.get();
}

} // namespace stravik::ui
