#include "setshow.h"

QByteArray QuoteBytes(QByteArrayView bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u >= 0x20 && u < 0x7F) {
                out += c;
            } else {
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 0x0F];
            }
        }
    }
    out += '"';
    return out;
}

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
    QByteArray out;
    auto line = [&out](const char* pszName, const QByteArray& value) {
        QByteArray name = QByteArray(pszName) + ':';
        out += name.leftJustified(22, ' ') + value + '\n';
    };
    line("in-setup", QuoteBytes(f.m_strInSetup));
    line("in-dll", QuoteBytes(f.m_strInDll));
    line("in-initial", QuoteBytes(f.m_strInInitial));
    line("out-setup", QuoteBytes(f.m_strOutSetup));
    line("out-dll", QuoteBytes(f.m_strOutDll));
    line("out-initial", QuoteBytes(f.m_strOutInitial));
    line("no-in-init-response", QByteArray::number(f.m_bNoInInitResponse));
    line("no-out-init-response", QByteArray::number(f.m_bNoOutInitResponse));
    line("detect-carrier", QByteArray::number(f.m_bDetectCarrier));
    line("out-startup", QByteArray::number(f.m_nOutStartup) + " (" + OutStartupName(f.m_nOutStartup) + ')');
    return out;
}
