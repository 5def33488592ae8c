#include "metricstext.h"

#include "headlesshost.h"

namespace {

void AppendFamily(QByteArray& out, const char* pszName, const char* pszType, const char* pszHelp)
{
    out += QByteArray("# HELP ") + pszName + ' ' + pszHelp + "\n# TYPE " + pszName + ' ' + pszType + '\n';
}

// One counter family with a sample per direction.
void AppendDirections(QByteArray& out, const char* pszName, const char* pszHelp, const quint64 (&values)[2])
{
    AppendFamily(out, pszName, "counter", pszHelp);
    out += QByteArray(pszName) + "{direction=\"in_to_out\"} " + QByteArray::number(values[0]) + '\n';
    out += QByteArray(pszName) + "{direction=\"out_to_in\"} " + QByteArray::number(values[1]) + '\n';
}

void AppendCounter(QByteArray& out, const char* pszName, const char* pszHelp, quint64 nValue)
{
    AppendFamily(out, pszName, "counter", pszHelp);
    out += QByteArray(pszName) + ' ' + QByteArray::number(nValue) + '\n';
}

QByteArray Seconds(qint64 nMs)
{
    return QByteArray::number(nMs / 1000) + '.' + QByteArray::number(nMs % 1000).rightJustified(3, '0');
}

// A label value: one line whatever the text holds (control characters as
// trelvaned prints them), then the format's own escapes for \ and ".
QByteArray LabelValue(const QString& strText)
{
    QByteArray value = EscapeControls(strText).toUtf8();
    value.replace('\\', "\\\\");
    value.replace('"', "\\\"");
    return value;
}

// Listening ports' refused clients, and the TLS files' expiry: labels from
// fixed sets only.
void AppendTlsAndRefusals(QByteArray& out, const SMetricsSnapshot& s)
{
    static const char* const kPorts[2] = {"input", "output"};
    static const char* const kReasons[STrafficCounters::kRefusalReasons] = {"policy", "address", "handshake"};
    AppendFamily(out, "trelvane_clients_refused_total", "counter",
                 "Clients a listening TCP or TLS port turned away: port in use (policy), not in allow= (address), "
                 "TLS handshake failed or had no place (handshake).");
    for (int p = 0; p < 2; ++p)
        for (int r = 0; r < STrafficCounters::kRefusalReasons; ++r)
            out += QByteArray("trelvane_clients_refused_total{port=\"") + kPorts[p] + "\",reason=\"" + kReasons[r]
                 + "\"} " + QByteArray::number(s.m_counters.m_nRefused[p][r]) + '\n';
    static const char* const kFiles[2] = {"certificate", "ca"};
    AppendFamily(out, "trelvane_tls_certificate_expiry_timestamp_seconds", "gauge",
                 "notAfter of the [TLS] Certificate= and CA= (its latest CA) a started TLS port uses.");
    for (int p = 0; p < 2; ++p)
        for (int f = 0; f < 2; ++f)
            if (s.m_nTlsExpiry[p][f] > 0)
                out += QByteArray("trelvane_tls_certificate_expiry_timestamp_seconds{port=\"") + kPorts[p]
                     + "\",file=\"" + kFiles[f] + "\"} " + QByteArray::number(s.m_nTlsExpiry[p][f]) + '\n';
}

} // namespace

QByteArray FormatMetrics(const SMetricsSnapshot& s)
{
    const STrafficCounters& c = s.m_counters;
    QByteArray out;
    out.reserve(4096);
    AppendDirections(out, "trelvane_received_blocks_total", "Blocks read on the port each direction starts at.",
                     c.m_nBlocksReceived);
    AppendDirections(out, "trelvane_received_bytes_total", "Bytes read on the port each direction starts at.",
                     c.m_nBytesReceived);
    AppendDirections(out, "trelvane_sent_blocks_total",
                     "Sends handed to the other port (a plug-in may rewrite, swallow or repeat a block).",
                     c.m_nBlocksSent);
    AppendDirections(out, "trelvane_sent_bytes_total", "Bytes handed to the other port.", c.m_nBytesSent);
    AppendDirections(out, "trelvane_held_back_blocks_total",
                     "Blocks dropped as the response to an initial string.", c.m_nHeldBack);
    AppendDirections(out, "trelvane_no_client_blocks_total",
                     "Blocks dropped because a listening port had no client.", c.m_nNoClient);
    AppendCounter(out, "trelvane_not_allowed_datagrams_total",
                  "Datagrams dropped because their sender is not in the port's allow= list.", c.m_nNotAllowed);
    AppendCounter(out, "trelvane_plugin_errors_total",
                  "Error results of DllInit, DllTransfer, DllAfterSend and DllQuit.", c.m_nPluginErrors);
    AppendCounter(out, "trelvane_restarts_total", "Restarts after the Input's far end closed or its carrier dropped.",
                  c.m_nRestarts);
    AppendCounter(out, "trelvane_reconnects_total",
                  "Output starts after the Output's far end closed or its line went away.", c.m_nReconnects);

    AppendFamily(out, "trelvane_port_started", "gauge", "1 while the port is started, else 0.");
    out += QByteArray("trelvane_port_started{port=\"input\"} ") + (s.m_bInputStarted ? "1" : "0") + '\n';
    out += QByteArray("trelvane_port_started{port=\"output\"} ") + (s.m_bOutputStarted ? "1" : "0") + '\n';
    AppendFamily(out, "trelvane_last_start_timestamp_seconds", "gauge",
                 "When a Startup / Reset last started the Input port (no sample before that).");
    if (s.m_nLastStartMs > 0)
        out += "trelvane_last_start_timestamp_seconds " + Seconds(s.m_nLastStartMs) + '\n';
    AppendFamily(out, "trelvane_last_failure_timestamp_seconds", "gauge",
                 "When the last failure line or message box came, with its text (no sample before the first).");
    if (s.m_nLastFailureMs > 0)
        out += "trelvane_last_failure_timestamp_seconds{message=\"" + LabelValue(s.m_strLastFailure) + "\"} "
             + Seconds(s.m_nLastFailureMs) + '\n';
    AppendTlsAndRefusals(out, s);
    return out;
}

bool IsFailureText(const QString& strText)
{
    // Words of the failure lines; progress lines have none of them.
    static const char* const kWords[] = {"error", "errer", "failure", "timeout", "invalid", "can't",
                                         "closed", "dropped", "refused", "disconnected"};
    for (const char* pszWord : kWords)
        if (strText.contains(QLatin1String(pszWord), Qt::CaseInsensitive))
            return true;
    return false;
}

bool ParseMetricsAddress(const QString& strValue, QHostAddress* pAddress, quint16* pnPort, QString* pstrError)
{
    QString strHost = QStringLiteral("127.0.0.1");
    QString strPort = strValue;
    const qsizetype nColon = strValue.lastIndexOf(u':');
    if (nColon >= 0) {
        strHost = strValue.left(nColon);
        strPort = strValue.mid(nColon + 1);
        if (strHost.startsWith(u'[') && strHost.endsWith(u']'))
            strHost = strHost.mid(1, strHost.size() - 2);
        else if (strHost.contains(u':'))
            strHost.clear(); // an IPv6 address needs its brackets
    }
    bool bOk = false;
    const uint nPort = strPort.toUInt(&bOk);
    if (!bOk || nPort < 1 || nPort > 65535 || strPort.startsWith(u'+')) {
        *pstrError = QStringLiteral("--metrics needs a port from 1 to 65535, as PORT or ADDRESS:PORT, got '%1'")
                         .arg(strValue);
        return false;
    }
    QHostAddress address;
    if (strHost.isEmpty() || !address.setAddress(strHost)) {
        *pstrError = QStringLiteral("--metrics needs a numeric address such as 127.0.0.1 or [::1] before "
                                    "the port, got '%1'")
                         .arg(strValue);
        return false;
    }
    *pAddress = address;
    *pnPort = quint16(nPort);
    return true;
}
