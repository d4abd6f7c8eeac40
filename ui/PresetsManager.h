#pragma once
// The presets manager: the stored presets, sorted, with several selected at
// once; exports the selection into a preset file, imports a file, deletes.
#include "ui/WindowContext.h"

#include <QDialog>
#include <QString>

#include <functional>

class QListWidget;

namespace stravik::ui {

class PresetsManager final : public QDialog {
    Q_OBJECT
public:
    explicit PresetsManager(WindowContext& context, QWidget* parent = nullptr);

    // Asks for a file: (saving, title, initial name) → the path, empty when
    // cancelled. The file dialogs unless replaced (tests).
    std::function<QString(bool, const QString&, const QString&)> chooseFile;

    void exportSelected();
    void importFile();
    void deleteSelected();
    // The store changed while the manager was open (the preset box is then
    // filled again).
    bool storeChanged() const { return changed_; }
    QListWidget* list() const { return list_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void fill();
    QStringList selectedNames() const;

    WindowContext& context_;
    QListWidget* list_;
    bool changed_ = false;
};

} // namespace stravik::ui
