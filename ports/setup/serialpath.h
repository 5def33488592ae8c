#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The device path of a serial port name (the text before the first ":" of
// its setup string): an entry of the profile's [Serial Ports] section, else
// COMn -> /dev/ttyS<n-1>. Empty when the name cannot be mapped to an
// absolute path.
QString SerialDevicePath(const QByteArray& strName, const QMap<QByteArray, QString>& portMap);
