#pragma once

#include <QByteArray>
#include <QString>

// Settings strings are bytes. They are shown as UTF-8 when they are valid
// UTF-8 and as Latin-1 otherwise (files from Windows carry code-page bytes).
QString DisplayText(const QByteArray& strBytes);
