#pragma once
// The help topics of the pages: short HTML pages (doc/html/<topic>.html),
// opened in the desktop's browser.
#include <QString>

namespace stravik::ui {

// The file of a topic: beside the installed program
// (../share/doc/stravik/html), else in the source tree; empty when neither
// has it.
QString helpFile(const QString& topic);
// Opens the topic (at the section `part` when given); false when it cannot
// be found or opened.
bool showHelp(const QString& topic, const QString& part = {});

} // namespace stravik::ui
