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

bool showHelp(const QString& topic, const QString& part)
{
    const QString file = helpFile(topic);
    if (file.isEmpty()) return false;
    QUrl url = QUrl::fromLocalFile(file);
    if (!part.isEmpty()) url.setFragment(part);
    return QDesktopServices::openUrl(url);
}

} // namespace stravik::ui
