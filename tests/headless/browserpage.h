#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

// A page in headless chromium (Debian's package), kept open while the test
// goes on: its DOM is read at any moment through the browser's own
// debugging protocol, one expression evaluated at a time.
class CBrowserPage
{
public:
    static QString Program() { return QStandardPaths::findExecutable(QStringLiteral("chromium")); }

    ~CBrowserPage()
    {
        m_socket.abort();
        // Asked to end first, so that its helper processes leave the profile too.
        if (m_browser.state() != QProcess::NotRunning) {
            m_browser.terminate();
            if (!m_browser.waitForFinished(5000)) {
                m_browser.kill();
                m_browser.waitForFinished(5000);
            }
        }
    }

    // Starts the browser on strUrl; false when it or its debugging
    // connection does not come up.
    bool Open(const QString& strUrl, const QStringList& extra = {})
    {
        // A profile of its own each time: a browser still running on a
        // shared one would take the request over and this one exit at once.
        m_browser.start(Program(), QStringList {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                                                QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                                                QStringLiteral("--remote-debugging-port=0"),
                                                QStringLiteral("--remote-allow-origins=*"),
                                                QStringLiteral("--user-data-dir=") + m_profile.path()}
                                       + extra + QStringList {strUrl});
        // The browser names its debugging port in the profile.
        QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
        int nPort = 0;
        if (!QTest::qWaitFor([&] {
                if (portFile.open(QIODevice::ReadOnly)) {
                    nPort = portFile.readLine().trimmed().toInt();
                    portFile.close();
                }
                return nPort > 0 || m_browser.state() == QProcess::NotRunning;
            }, kWaitMs) || nPort == 0) {
            qWarning("no debugging port: %s", m_browser.readAllStandardError().right(800).constData());
            return false;
        }
        // The page's own debugging address.
        QString strPage;
        (void)QTest::qWaitFor([&] {
            const QJsonArray targets = QJsonDocument::fromJson(HttpGet(nPort, "/json/list")).array();
            for (const QJsonValue& target : targets) {
                if (target[QStringLiteral("type")] == QStringLiteral("page")
                    && target[QStringLiteral("url")].toString().startsWith(strUrl))
                    strPage = target[QStringLiteral("webSocketDebuggerUrl")].toString();
            }
            return !strPage.isEmpty();
        }, kWaitMs);
        if (strPage.isEmpty()) {
            qWarning("no page among %s", HttpGet(nPort, "/json/list").left(1500).constData());
            return false;
        }
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                         [this](const QString& strMessage) { m_replies.append(strMessage); });
        m_socket.open(QUrl(strPage));
        if (!QTest::qWaitFor([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }, kWaitMs)) {
            qWarning("no debugging connection to %s: %s", qPrintable(strPage), qPrintable(m_socket.errorString()));
            return false;
        }
        return true;
    }

    // One command of the debugging protocol: its result (empty on no answer).
    QJsonObject Call(const QString& strMethod, const QJsonObject& params)
    {
        const int nId = ++m_nLastId;
        m_socket.sendTextMessage(QString::fromUtf8(
            QJsonDocument(QJsonObject {{QStringLiteral("id"), nId}, {QStringLiteral("method"), strMethod},
                                       {QStringLiteral("params"), params}})
                .toJson(QJsonDocument::Compact)));
        QJsonObject result;
        (void)QTest::qWaitFor([&] {
            for (const QString& strReply : std::as_const(m_replies)) {
                const QJsonObject reply = QJsonDocument::fromJson(strReply.toUtf8()).object();
                if (reply[QStringLiteral("id")].toInt() == nId) {
                    result = reply[QStringLiteral("result")].toObject();
                    return true;
                }
            }
            return false;
        }, kWaitMs);
        m_replies.clear();
        return result;
    }

    // The value of a JavaScript expression in the page, as a string.
    QString Evaluate(const QString& strExpression)
    {
        const QJsonValue value = Call(QStringLiteral("Runtime.evaluate"),
                                      {{QStringLiteral("expression"), strExpression},
                                       {QStringLiteral("returnByValue"), true}})[QStringLiteral("result")]
                                                                                 [QStringLiteral("value")];
        return value.isString() ? value.toString() : value.isDouble() ? QString::number(value.toDouble()) : QString();
    }

    // The page as a PNG picture, nWidth CSS pixels wide and as long as it is.
    QByteArray Screenshot(int nWidth)
    {
        Call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
             {{QStringLiteral("width"), nWidth}, {QStringLiteral("height"), 800},
              {QStringLiteral("deviceScaleFactor"), 1}, {QStringLiteral("mobile"), false}});
        const QJsonObject shot = Call(QStringLiteral("Page.captureScreenshot"),
                                      {{QStringLiteral("format"), QStringLiteral("png")},
                                       {QStringLiteral("captureBeyondViewport"), true}});
        return QByteArray::fromBase64(shot[QStringLiteral("data")].toString().toLatin1());
    }

    QString Dom() { return Evaluate(QStringLiteral("document.documentElement.outerHTML")); }
    // The text of the element with this id.
    QString Text(const QString& strId)
    {
        return Evaluate(QStringLiteral("(document.getElementById('%1') || {}).textContent || ''").arg(strId));
    }

private:
    static constexpr int kWaitMs = 20000;

    static QByteArray HttpGet(int nPort, const QByteArray& strPath)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(nPort));
        if (!socket.waitForConnected(kWaitMs))
            return {};
        socket.write("GET " + strPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(nPort) + "\r\n\r\n");
        QByteArray data;
        qsizetype nEnd = -1;
        qsizetype nLength = -1;
        while (nEnd < 0 || data.size() < nEnd + 4 + nLength) {
            if (!socket.bytesAvailable() && !socket.waitForReadyRead(kWaitMs))
                break;
            data += socket.readAll();
            if (nEnd < 0 && (nEnd = data.indexOf("\r\n\r\n")) >= 0) {
                const qsizetype nAt = data.toLower().indexOf("content-length:");
                nLength = nAt >= 0 && nAt < nEnd ? data.mid(nAt + 15, data.indexOf('\r', nAt) - nAt - 15).trimmed().toLongLong()
                                                 : 0;
            }
        }
        return data.mid(nEnd + 4);
    }

    QTemporaryDir m_profile;
    QProcess m_browser;
    QWebSocket m_socket;
    QStringList m_replies;
    int m_nLastId = 0;
};
