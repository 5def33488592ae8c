#include "setshow.h"

#include "settext.h"

QByteArray OutStartupName(qint32 nOutStartup)
{
    if (nOutStartup == 1007)
        return "Output Startup with Input";
    if (nOutStartup == 1008)
        return "Output Startup When First Receive Data from Input";
    // The gateway starts the Output on first data for every value but 1007.
    return "other value: Output Startup When First Receive Data from Input";
}

QByteArray FormatSetFields(const SSetFields& f)
{
    // Strings as the text form writes them: a value pasted into a text
    // settings file means the same there.
    QByteArray out;
    auto line = [&out](const char* pszName, const QByteArray& value) {
        QByteArray name = QByteArray(pszName) + ':';
        out += name.leftJustified(22, ' ') + value + '\n';
    };
    line("in-setup", QuoteSetString(f.m_strInSetup, false));
    line("in-dll", QuoteSetString(f.m_strInDll, false));
    line("in-initial", QuoteSetString(f.m_strInInitial, true));
    line("out-setup", QuoteSetString(f.m_strOutSetup, false));
    line("out-dll", QuoteSetString(f.m_strOutDll, false));
    line("out-initial", QuoteSetString(f.m_strOutInitial, true));
    line("no-in-init-response", QByteArray::number(f.m_bNoInInitResponse));
    line("no-out-init-response", QByteArray::number(f.m_bNoOutInitResponse));
    line("detect-carrier", QByteArray::number(f.m_bDetectCarrier));
    line("out-startup", QByteArray::number(f.m_nOutStartup) + " (" + OutStartupName(f.m_nOutStartup) + ')');
    return out;
}
