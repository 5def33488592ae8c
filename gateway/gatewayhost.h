#pragma once

#include <QString>

// How the gateway reaches the world around it: the desktop form, the
// headless runner or a test. Log lines go through CMessageLog instead.
class IGatewayHost
{
public:
    virtual ~IGatewayHost() = default;
    // Status fields: 1006 (Input) and 1007 (Output).
    virtual void SetStatusText(bool bInput, const QString& strText) = 0;
    // A message box with an OK button. Returns at once: the box stays until
    // the operator closes it, and nothing of the gateway waits for that.
    virtual void ShowMessageBox(const QString& strText) = 0;
    virtual void Beep() = 0;
    // Why something did not start, in plain words, after its fixed message
    // or log line. The desktop program shows only the fixed texts.
    virtual void Explain(const QString& /*strText*/) {}
};
