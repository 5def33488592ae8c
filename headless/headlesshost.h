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

// What the gateway shows, written as lines to a stream of the output
// (standard error): status changes and message boxes (which do not wait for
// anyone) and beeps.
class CHeadlessHost : public IGatewayHost
{
public:
    CHeadlessHost(CLineOutput* pOut, int nStream) : m_pOut(pOut), m_nStream(nStream) {}

    void SetStatusText(bool bInput, const QString& strText) override;
    void ShowMessageBox(const QString& strText) override;
    void Beep() override;
    // "trelvaned: why: <text>", after the message it explains.
    void Explain(const QString& strText) override;

    // "trelvaned: <text>" as one line.
    void Print(const QString& strText);
    // A text of the program's own that runs over several lines (why the
    // settings file did not load, say) as one "trelvaned: " line each. The
    // file it is about is named on the first line unless the text names it.
    void PrintAbout(const QString& strFile, const QString& strText);
    // Called with the text of every message box, after it is printed.
    void SetOnMessageBox(std::function<void(const QString&)> fn) { m_fnOnMessageBox = std::move(fn); }
    // Called with every explanation, after it is printed.
    void SetOnExplain(std::function<void(const QString&)> fn) { m_fnOnExplain = std::move(fn); }
    // The status field's text as last set (empty: cleared).
    const QString& StatusText(bool bInput) const { return m_strStatus[bInput ? 0 : 1]; }

private:
    void WriteLine(const QString& strEscaped);

    CLineOutput* m_pOut;
    int m_nStream;
    std::function<void(const QString&)> m_fnOnMessageBox;
    std::function<void(const QString&)> m_fnOnExplain;
    QString m_strStatus[2];
};
