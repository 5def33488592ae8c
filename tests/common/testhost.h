#pragma once

#include "gateway.h"
#include "gatewayhost.h"
#include "trelvanedoc.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QStringList>

#include <functional>

// Records what the gateway shows. Its message box returns at once, as the
// real hosts' do; a test can act when one is shown (m_fnOnBox).
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
        if (m_fnOnBox) {
            auto fn = m_fnOnBox;
            fn(strText);
        }
    }
    void Beep() override { ++m_nBeeps; }
    void Explain(const QString& strText) override { m_explanations.append(strText); }

    QString m_strInStatus;
    QString m_strOutStatus;
    QStringList m_boxes;
    QStringList m_explanations;
    int m_nBeeps = 0;
    std::function<void(const QString&)> m_fnOnBox;
};

// A gateway with its settings and recording host, for one test.
struct SGatewayRig
{
    CTrelvaneDoc doc;
    CRecordingHost host;
    CGateway gateway {&doc, &host};
    QSignalSpy started {&gateway, &CGateway::startupFinished};

    // Sets both setup strings and the start mode, then Startup / Reset.
    void Start(const QByteArray& strIn, const QByteArray& strOut, int nOutStartup = 1007)
    {
        doc.m_strInSetup = strIn;
        doc.m_strOutSetup = strOut;
        doc.m_nOutStartup = nOutStartup;
        Reset();
    }
    // Startup / Reset, and waits until its start is over (ran to its end
    // or was cut short).
    void Reset()
    {
        gateway.RequestStartupReset();
        WaitStarted();
    }
    bool WaitStarted() { return QTest::qWaitFor([this] { return !gateway.IsStarting(); }, 15000); }

    // Message texts without their time stamps.
    QStringList Texts()
    {
        QStringList texts;
        for (const QString& strLine : gateway.MessageLog().Lines())
            texts.append(strLine.mid(9));
        return texts;
    }

    // A "msg:" line: a notification for a port the gateway does not know.
    bool LoggedMsgLine()
    {
        for (const QString& strText : Texts())
            if (strText.startsWith(QLatin1String("msg:")))
                return true;
        return false;
    }
};
