#pragma once

#include "gatewayhost.h"

#include <QString>

#include <functional>

class CLineOutput;

// Shows a text on one line of trelvaned's output: control characters
// (a line feed or carriage return in a setup string, say) are written as
// \xNN, so no text can break a line or forge one. Backslashes stay as they
// are.
QString EscapeControls(const QString& strText);

// What the gateway shows, written as lines to standard error: status
// changes and message boxes (which do not wait for anyone) and beeps.
class CHeadlessHost : public IGatewayHost
{
public:
    explicit CHeadlessHost(CLineOutput* pOut) : m_pOut(pOut) {}

    void SetStatusText(bool bInput, const QString& strText) override;
    void ShowMessageBox(const QString& strText) override;
    void Beep() override;
    // "trelvaned: why: <text>", after the message it explains.
    void Explain(const QString& strText) override;

    // "trelvaned: <text>" as one line.
    void Print(const QString& strText);
    // Called with the text of every message box, after it is printed.
    void SetOnMessageBox(std::function<void(const QString&)> fn) { m_fnOnMessageBox = std::move(fn); }

private:
    CLineOutput* m_pOut;
    std::function<void(const QString&)> m_fnOnMessageBox;
    QString m_strStatus[2];
};
