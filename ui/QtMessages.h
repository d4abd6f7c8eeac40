#pragma once
// Message boxes for the engine, the presets and the run, from any thread.
// On the window's thread a box is shown at once (modal). From another thread
// show() hands the box to the window's thread and returns at once: a worker
// that reports while the window waits for it must never deadlock. ask() from
// another thread waits for the user's answer; once the window is closing,
// questions still open are answered with the cautious button (No / Cancel).
#include "dsp/UserMessages.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>

namespace stravik::ui {

class QtMessages final : public QObject, public UserMessages {
    Q_OBJECT
public:
    explicit QtMessages(QObject* parent = nullptr);
    // Boxes open over this window (null: no parent).
    void setParentWindow(QWidget* window) { window_ = window; }
    // From now on nobody will answer: questions get the cautious answer.
    void setClosing() { closing_ = true; }

    void show(const std::string& text, const std::string& title, MessageIcon icon) override;
    MessageAnswer ask(const std::string& text, const std::string& title, MessageButtons buttons,
                      MessageIcon icon) override;

private:
    bool onWindowThread() const;
    void showBox(const QString& text, const QString& title, MessageIcon icon);
    MessageAnswer askBox(const QString& text, const QString& title, MessageButtons buttons, MessageIcon icon);

    QPointer<QWidget> window_;
    std::atomic<bool> closing_{false};
};

} // namespace stravik::ui
