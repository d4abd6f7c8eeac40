#include "ui/Help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace stravik::ui {

QString helpFile(const QString& topic)
{
    const QString name = topic + ".html";
    const QString places[] = {
        QCoreApplication::applicationDirPath() + "/../share/doc/stravik/html/" + name,
        QStringLiteral(STRAVIK_SOURCE_DIR "/doc/html/") + name,
    };
    for (const QString& file : places)
        if (QFileInfo::exists(file)) return QFileInfo(file).canonicalFilePath();
    return {};
}

bool showHelp(const QString& topic)
{
    const QString file = helpFile(topic);
    return !file.isEmpty() && QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

} // namespace stravik::ui
