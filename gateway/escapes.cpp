#include "escapes.h"

void ExpandEscapes(QByteArray& str)
{
    QByteArray strOut;
    strOut.reserve(str.size());
    const qsizetype n = str.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = str[i];
        if (c != '\\' || i + 1 == n) {
            strOut.append(c);
            continue;
        }
        const char cNext = str[++i];
        switch (cNext) {
        case '\\': strOut.append('\\'); break;
        case 'n': strOut.append('\n'); break;
        case 'r': strOut.append('\r'); break;
        case 't': strOut.append('\t'); break;
        default:
            strOut.append('\\');
            strOut.append(cNext);
            break;
        }
    }
    str = strOut;
}
