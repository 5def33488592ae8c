#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class CProfile;

// The profile section that maps serial port names to device paths.
QString SerialPortsSection();

// The entries of [Serial Ports] (name as written -> device path), for
// CGateway::SetSerialPortMap.
QMap<QByteArray, QString> SerialPortMap(const CProfile& profile);
