#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <csignal>

// One run of a program under test, its output collected as it arrives.
class CDaemonProcess
{
public:
    explicit CDaemonProcess(const QString& strProgram)
    {
        m_process.setProgram(strProgram);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_err += m_process.readAllStandardError(); });
        QObject::connect(&m_process, &QProcess::finished, &m_process, [this] {
            m_out += m_process.readAllStandardOutput();
            m_err += m_process.readAllStandardError();
            m_bFinished = true;
        });
    }
    ~CDaemonProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool Start(const QStringList& args)
    {
        m_process.setArguments(args);
        m_process.start();
        return m_process.waitForStarted(10000);
    }
    void SetEnvironmentValue(const QString& strName, const QString& strValue)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(strName, strValue);
        m_process.setProcessEnvironment(env);
    }
    void Signal(int nSignal) { ::kill(pid_t(m_process.processId()), nSignal); }
    bool Finished() const { return m_bFinished; }
    int ExitCode() const { return m_process.exitCode(); }
    bool ExitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }

    const QByteArray& Out() const { return m_out; }
    const QByteArray& Err() const { return m_err; }
    int CountOut(const QByteArray& text) const { return int(m_out.count(text)); }
    // Log lines on standard output without their time stamps.
    QStringList OutTexts() const
    {
        QStringList texts;
        for (const QString& strLine : QString::fromUtf8(m_out).split(u'\n', Qt::SkipEmptyParts))
            texts.append(strLine.mid(9));
        return texts;
    }

    QProcess m_process;

private:
    QByteArray m_out;
    QByteArray m_err;
    bool m_bFinished = false;
};
