#pragma once

#include <QByteArray>
#include <QString>

// Settings strings are bytes. They are shown as UTF-8 when they are valid
// UTF-8 and as Latin-1 otherwise (files from Windows carry code-page bytes).
QString DisplayText(const QByteArray& strBytes);

// The bytes to store for a field that showed strShown (the text the field
// held right after it was loaded from strOriginal) and now holds strText:
// strOriginal unchanged when the text is the same, so a field that was not
// edited keeps its bytes exactly; else the UTF-8 of strText.
QByteArray SettingTextToBytes(const QString& strText, const QString& strShown, const QByteArray& strOriginal);
