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

// Clients of listening ports, their sessions and TLS handshake failures:
// labels from fixed sets only, never one per client.
void AppendClients(QByteArray& out, const STrafficCounters& c)
{
    static const char* const kPorts[2] = {"input", "output"};
    AppendFamily(out, "trelvane_clients_connected", "gauge", "Clients of a listening port now (no sample for a port "
                                                             "that does not listen).");
    for (int p = 0; p < 2; ++p)
        if (c.m_nClients[p] >= 0)
            out += QByteArray("trelvane_clients_connected{port=\"") + kPorts[p] + "\"} "
                 + QByteArray::number(c.m_nClients[p]) + '\n';
    AppendFamily(out, "trelvane_tls_handshake_failures_total", "counter",
                 "TLS handshakes that failed, by reason (listening ports and connections to servers).");
    for (int p = 0; p < 2; ++p)
        for (int f = 0; f < kTlsFailureKinds; ++f)
            out += QByteArray("trelvane_tls_handshake_failures_total{port=\"") + kPorts[p] + "\",reason=\""
                 + TlsFailureName(f) + "\"} " + QByteArray::number(c.m_nTlsFailures[p][f]) + '\n';
    AppendFamily(out, "trelvane_client_session_bytes", "histogram",
                 "Bytes read and sent in each ended client session of a listening port.");
    for (int p = 0; p < 2; ++p) {
        const QByteArray strPort = QByteArray("port=\"") + kPorts[p] + '"';
        for (int b = 0; b < STrafficCounters::kSessionBuckets; ++b)
            out += "trelvane_client_session_bytes_bucket{" + strPort + ",le=\""
                 + QByteArray::number(STrafficCounters::kSessionBucketBytes[b]) + "\"} "
                 + QByteArray::number(c.m_nSessionBuckets[p][b]) + '\n';
        out += "trelvane_client_session_bytes_bucket{" + strPort + ",le=\"+Inf\"} " + QByteArray::number(c.m_nSessions[p])
             + "\ntrelvane_client_session_bytes_sum{" + strPort + "} " + QByteArray::number(c.m_nSessionBytes[p])
             + "\ntrelvane_client_session_bytes_count{" + strPort + "} " + QByteArray::number(c.m_nSessions[p]) + '\n';
    }
    AppendCounter(out, "trelvane_client_restarts_total",
                  "Restarts because the last client of a listening Input left (not counted as restarts).",
                  c.m_nClientRestarts);
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
    AppendCounter(out, "trelvane_restarts_total",
                  "Restarts after the Input's far end closed or its carrier dropped (not a listening Input's "
                  "client leaving).",
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
                 "When the last failure line or message box came, with its fixed text (no sample before the first).");
    if (s.m_nLastFailureMs > 0)
        out += "trelvane_last_failure_timestamp_seconds{message=\"" + LabelValue(s.m_strLastFailure) + "\"} "
             + Seconds(s.m_nLastFailureMs) + '\n';
    AppendTlsAndRefusals(out, s);
    AppendClients(out, c);
    return out;
}

namespace {

// The fixed texts of the failure lines and message boxes, each with the
// form its label takes: the text as the message list documents it, numbers,
// reasons, ports and addresses left as %d and %s, so that the label has a
// bounded set of values. A null form: the line is no failure. The first
// prefix that matches counts.
struct SFailureForm
{
    const char* m_pszPrefix;
    const char* m_pszForm;
};

constexpr SFailureForm kFailureForms[] = {
    // A client that comes or leaves is no failure; refusing one is.
    {"TCP Client Accepted", nullptr},
    {"TLS Client Accepted", nullptr},
    {"TCP Client Replaced", nullptr},
    {"TLS Client Replaced", nullptr},
    {"TCP Client Disconnected", nullptr},
    {"TLS Client Disconnected", nullptr},
    {"Remote Output closed,wait for new client!", nullptr},
    {"TCP Client Refused,not allowed", "TCP Client Refused,not allowed,port:%d,addr:%s"},
    {"TLS Client Refused,not allowed", "TLS Client Refused,not allowed,port:%d,addr:%s"},
    {"TCP Client Refused,port in use", "TCP Client Refused,port in use,port:%d,addr:%s"},
    {"TLS Client Refused,port in use", "TLS Client Refused,port in use,port:%d,addr:%s"},
    {"TLS Client Refused,", "TLS Client Refused,%s,port:%d,addr:%s"},
    {"TCP Client Dropped,too slow", "TCP Client Dropped,too slow,port:%d,addr:%s"},
    {"TLS Client Dropped,too slow", "TLS Client Dropped,too slow,port:%d,addr:%s"},
    {"UDP Sender Refused,not allowed", "UDP Sender Refused,not allowed,datagrams dropped,port:%d,addr:%s"},
    {"Invalid Setup String!", "Invalid Setup String!"},
    {"Connect error! not 10035", "Connect error! not 10035"},
    {"TCP Connect Error:", "TCP Connect Error:%d,port:%d,addr:%s"},
    {"TCP Connect TimeOut!", "TCP Connect TimeOut!port:%d,addr:%s"},
    {"TCP Create Error:", "TCP Create Error:%d,port:%d,addr:%s"},
    {"UDP Create Error:", "UDP Create Error:%d,port:%d,addr:%s"},
    {"TLS Setup Error:", "TLS Setup Error:%s"},
    {"TLS Handshake Error:", "TLS Handshake Error:%s,port:%d,addr:%s"},
    {"TLS Receive Error:", "TLS Receive Error:%s"},
    {"TLS Send Error:", "TLS Send Error:%s"},
    {"No TCP Client! Blocks dropped", "No TCP Client! Blocks dropped"},
    {"Set Broadcast Failure", "Set Broadcast Failure"},
    {"In2Out DLL Initial Errer Code:", "In2Out DLL Initial Errer Code:%d"},
    {"Out2In DLL Initial Errer Code:", "Out2In DLL Initial Errer Code:%d"},
    {"Output DoConnect Failure!", "Output DoConnect Failure!"},
    {"Port Close! Can't Send!", "Port Close! Can't Send!"},
    {"DLL Transfer Error Code:", "DLL Transfer Error Code:%s"},
    {"DLL After Send Errer Code:", "DLL After Send Errer Code:%d"},
    {"In DLL Quit Errer Code:", "In DLL Quit Errer Code:%d"},
    {"Out DLL Quit Errer Code:", "Out DLL Quit Errer Code:%d"},
    {"Receive Error Code:", "Receive Error Code:%d"},
    {"SendTo Error Code:", "SendTo Error Code:%d"},
    {"Send Error Code:", "Send Error Code:%d"},
    {"Remote Input closed,close ALL & ReStart!", "Remote Input closed,close ALL & ReStart!"},
    {"Remote Output closed,close myself too!", "Remote Output closed,close myself too!"},
    // Message boxes.
    {"Output Port Connect Error!", "Output Port Connect Error!"},
    {"OpenComm Error!", "OpenComm Error!"},
    {"BuildCommDCB Error!", "BuildCommDCB Error!"},
    {"SetCommState Error!", "SetCommState Error!"},
    {"<CE-", "<CE-%u>"},
    {"InitCommEvent Error!", "InitCommEvent Error!"},
    {"Windows Socket Initial Failure!", "Windows Socket Initial Failure!"},
};

} // namespace

QString FailureForm(const QString& strText)
{
    for (const SFailureForm& form : kFailureForms) {
        if (strText.startsWith(QLatin1String(form.m_pszPrefix)))
            return form.m_pszForm ? QString::fromLatin1(form.m_pszForm) : QString();
    }
    // A failure line of a kind not listed above: named by its kind only.
    static const char* const kWords[] = {"error", "errer", "failure", "timeout", "invalid", "can't",
                                         "closed", "dropped", "refused"};
    for (const char* pszWord : kWords)
        if (strText.contains(QLatin1String(pszWord), Qt::CaseInsensitive))
            return QStringLiteral("other");
    return {};
}

bool ParseMetricsAddress(const QString& strValue, QHostAddress* pAddress, quint16* pnPort, QString* pstrError,
                         const QString& strOption)
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
        *pstrError = QStringLiteral("%1 needs a port from 1 to 65535, as PORT or ADDRESS:PORT, got '%2'")
                         .arg(strOption, strValue);
        return false;
    }
    QHostAddress address;
    if (strHost.isEmpty() || !address.setAddress(strHost)) {
        *pstrError = QStringLiteral("%1 needs a numeric address such as 127.0.0.1 or [::1] before "
                                    "the port, got '%2'")
                         .arg(strOption, strValue);
        return false;
    }
    *pAddress = address;
    *pnPort = quint16(nPort);
    return true;
}
