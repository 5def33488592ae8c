#pragma once

#include "gatewayhost.h"

#include <QString>

#include <cstdio>

// What the gateway shows, written as lines to standard error: status
// changes and message boxes (which do not wait for anyone) and beeps.
class CHeadlessHost : public IGatewayHost
{
public:
    explicit CHeadlessHost(std::FILE* pOut = stderr) : m_pOut(pOut) {}

    void SetStatusText(bool bInput, const QString& strText) override;
    void ShowMessageBox(const QString& strText) override;
    void Beep() override;
    // "trelvaned: why: <text>", after the message it explains.
    void Explain(const QString& strText) override;

    // "trelvaned: <text>" as one line, flushed.
    void Print(const QString& strText);

private:
    std::FILE* m_pOut;
    QString m_strStatus[2];
};
