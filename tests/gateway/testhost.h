#pragma once

#include "gateway.h"
#include "gatewayhost.h"
#include "trelvanedoc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>

// Records what the gateway shows. Its message box runs the event loop for a
// moment, as a real modal box does, so nested events are exercised.
class CRecordingHost : public IGatewayHost
{
public:
    void SetStatusText(bool bInput, const QString& strText) override
    {
        (bInput ? m_strInStatus : m_strOutStatus) = strText;
    }
    void ShowMessageBox(const QString& strText) override
    {
        m_boxes.append(strText);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < m_nBoxMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    void Beep() override { ++m_nBeeps; }

    QString m_strInStatus;
    QString m_strOutStatus;
    QStringList m_boxes;
    int m_nBeeps = 0;
    int m_nBoxMs = 20;
};

// A gateway with its settings and recording host, for one test.
struct SGatewayRig
{
    CTrelvaneDoc doc;
    CRecordingHost host;
    CGateway gateway {&doc, &host};

    // Message texts without their time stamps.
    QStringList Texts()
    {
        QStringList texts;
        for (const QString& strLine : gateway.MessageLog().Lines())
            texts.append(strLine.mid(9));
        return texts;
    }
};
