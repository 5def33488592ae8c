#include "setup/serialmode.h"
#include "serial/comportrequests.h"
#include "setup/serialpath.h"
#include "setup/serialurl.h"

#include <QTest>

// The mode-string parser and the device-name mapping: pure functions, checked
// on the termios record and the path they produce.
class TestSerialMode : public QObject
{
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void devicePath_data();
    void devicePath();
    void readBack_data();
    void readBack();
    void serialUrl_data();
    void serialUrl();
    void comPortAnswers_data();
    void comPortAnswers();
};

namespace {
// Expected c_cflag bits besides speed: character size, parity, stop, flow.
constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CREAD | CLOCAL;
}

void TestSerialMode::accepted_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<uint>("baud");
    QTest::addColumn<uint>("speed"); // B0 when only termios2 can set it
    QTest::addColumn<uint>("cflag"); // within kCflagMask, CREAD|CLOCAL added below
    QTest::addColumn<uint>("iflag");
    QTest::addColumn<int>("dtr");
    QTest::addColumn<int>("rts");

    const int d = int(SSerialMode::ELine::Default);
    const int on = int(SSerialMode::ELine::On);
    const int off = int(SSerialMode::ELine::Off);

    QTest::newRow("default") << QByteArray("COM2:9600,n,8,1") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("baud only") << QByteArray("COM1:19200") << 19200u << uint(B19200) << uint(CS8) << 0u << d << d;
    QTest::newRow("empty fields keep defaults") << QByteArray("COM1:2400,,7,,") << 2400u << uint(B2400) << uint(CS7) << 0u << d << d;
    QTest::newRow("blanks around fields") << QByteArray("COM1: 4800 , e , 7 , 2") << 4800u << uint(B4800) << uint(CS7 | PARENB | CSTOPB) << 0u << d << d;
    QTest::newRow("even") << QByteArray("COM1:9600,e,7,1") << 9600u << uint(B9600) << uint(CS7 | PARENB) << 0u << d << d;
    QTest::newRow("odd upper") << QByteArray("COM1:9600,O,8,1") << 9600u << uint(B9600) << uint(CS8 | PARENB | PARODD) << 0u << d << d;
    QTest::newRow("mark") << QByteArray("COM1:9600,m,7,1") << 9600u << uint(B9600) << uint(CS7 | PARENB | PARODD | CMSPAR) << 0u << d << d;
    QTest::newRow("space") << QByteArray("COM1:9600,S,7,1") << 9600u << uint(B9600) << uint(CS7 | PARENB | CMSPAR) << 0u << d << d;
    QTest::newRow("N upper") << QByteArray("COM1:9600,N,8,1") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("5 data 1.5 stop") << QByteArray("COM1:110,n,5,1.5") << 110u << uint(B110) << uint(CS5 | CSTOPB) << 0u << d << d;
    QTest::newRow("5 data 1 stop") << QByteArray("COM1:110,n,5,1") << 110u << uint(B110) << uint(CS5) << 0u << d << d;
    QTest::newRow("6 data 2 stop") << QByteArray("COM1:300,n,6,2") << 300u << uint(B300) << uint(CS6 | CSTOPB) << 0u << d << d;
    QTest::newRow("xon/xoff") << QByteArray("COM1:9600,n,8,1,x") << 9600u << uint(B9600) << uint(CS8) << uint(IXON | IXOFF) << d << d;
    QTest::newRow("rts/cts") << QByteArray("COM1:9600,n,8,1,P") << 9600u << uint(B9600) << uint(CS8 | CRTSCTS) << 0u << d << d;
    QTest::newRow("abbrev 11") << QByteArray("COM1:11") << 110u << uint(B110) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 15") << QByteArray("COM1:15") << 150u << uint(B150) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 30") << QByteArray("COM1:30") << 300u << uint(B300) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 60") << QByteArray("COM1:60") << 600u << uint(B600) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 12") << QByteArray("COM1:12") << 1200u << uint(B1200) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 24") << QByteArray("COM1:24") << 2400u << uint(B2400) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 48") << QByteArray("COM1:48") << 4800u << uint(B4800) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 96") << QByteArray("COM1:96,n,8,1") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("abbrev 19") << QByteArray("COM1:19") << 19200u << uint(B19200) << uint(CS8) << 0u << d << d;
    QTest::newRow("50 is literal") << QByteArray("COM1:50") << 50u << uint(B50) << uint(CS8) << 0u << d << d;
    QTest::newRow("115200") << QByteArray("COM1:115200,n,8,1") << 115200u << uint(B115200) << uint(CS8) << 0u << d << d;
    QTest::newRow("4000000") << QByteArray("COM1:4000000") << 4000000u << uint(B4000000) << uint(CS8) << 0u << d << d;
    QTest::newRow("custom rate") << QByteArray("COM1:250000,n,8,1") << 250000u << uint(B0) << uint(CS8) << 0u << d << d;
    QTest::newRow("odd custom rate") << QByteArray("COM1:12345") << 12345u << uint(B0) << uint(CS8) << 0u << d << d;
    QTest::newRow("mapped name") << QByteArray("GPS:4800,n,8,1") << 4800u << uint(B4800) << uint(CS8) << 0u << d << d;

    QTest::newRow("kw basic") << QByteArray("COM1: baud=9600 parity=N data=8 stop=1") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("kw case and order") << QByteArray("COM1:STOP=2 Data=7 PARITY=e BAUD=1200") << 1200u << uint(B1200) << uint(CS7 | PARENB | CSTOPB) << 0u << d << d;
    QTest::newRow("kw blanks around =") << QByteArray("COM1: baud = 2400\tparity= o") << 2400u << uint(B2400) << uint(CS8 | PARENB | PARODD) << 0u << d << d;
    QTest::newRow("kw abbrev") << QByteArray("COM1: baud=96") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("kw 1.5") << QByteArray("COM1: baud=110 data=5 stop=1.5") << 110u << uint(B110) << uint(CS5 | CSTOPB) << 0u << d << d;
    QTest::newRow("kw xon") << QByteArray("COM1: baud=9600 xon=on") << 9600u << uint(B9600) << uint(CS8) << uint(IXON | IXOFF) << d << d;
    QTest::newRow("kw xon off") << QByteArray("COM1: baud=9600 xon=OFF") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("kw octs") << QByteArray("COM1: baud=9600 octs=on") << 9600u << uint(B9600) << uint(CS8 | CRTSCTS) << 0u << d << d;
    QTest::newRow("kw rts hs") << QByteArray("COM1: baud=9600 rts=hs") << 9600u << uint(B9600) << uint(CS8 | CRTSCTS) << 0u << d << d;
    QTest::newRow("kw octs and rts hs") << QByteArray("COM1: baud=9600 octs=on rts=hs") << 9600u << uint(B9600) << uint(CS8 | CRTSCTS) << 0u << d << d;
    QTest::newRow("kw both flows") << QByteArray("COM1: baud=9600 octs=on xon=on") << 9600u << uint(B9600) << uint(CS8 | CRTSCTS) << uint(IXON | IXOFF) << d << d;
    QTest::newRow("kw dtr rts lines") << QByteArray("COM1: baud=9600 dtr=off rts=on") << 9600u << uint(B9600) << uint(CS8) << 0u << off << on;
    QTest::newRow("kw dtr on rts off") << QByteArray("COM1: baud=9600 dtr=on rts=off octs=off") << 9600u << uint(B9600) << uint(CS8) << 0u << on << off;
    QTest::newRow("kw custom rate") << QByteArray("COM1: baud=31250") << 31250u << uint(B0) << uint(CS8) << 0u << d << d;
    // Leading zeros, as stored files may carry them, change nothing.
    QTest::newRow("baud leading zero") << QByteArray("COM7:09600") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("data 08") << QByteArray("COM1:9600,n,08,1") << 9600u << uint(B9600) << uint(CS8) << 0u << d << d;
    QTest::newRow("zeros everywhere") << QByteArray("COM1:0110,n,005,01.5") << 110u << uint(B110) << uint(CS5 | CSTOPB) << 0u << d << d;
    QTest::newRow("zero before abbrev") << QByteArray("COM1:096,n,8,02") << 9600u << uint(B9600) << uint(CS8 | CSTOPB) << 0u << d << d;
    QTest::newRow("kw leading zeros") << QByteArray("COM1: baud=0019200 data=07 stop=02") << 19200u << uint(B19200) << uint(CS7 | CSTOPB) << 0u << d << d;
}

void TestSerialMode::accepted()
{
    QFETCH(QByteArray, setup);
    QFETCH(uint, baud);
    QFETCH(uint, speed);
    QFETCH(uint, cflag);
    QFETCH(uint, iflag);
    QFETCH(int, dtr);
    QFETCH(int, rts);

    const auto mode = ParseSerialMode(setup);
    QVERIFY(mode);
    QCOMPARE(mode->nBaud, quint32(baud));
    QCOMPARE(mode->bStandardBaud, speed != B0);
    QCOMPARE(uint(cfgetospeed(&mode->tio)), speed);
    QCOMPARE(uint(cfgetispeed(&mode->tio)), speed);
    QCOMPARE(uint(mode->tio.c_cflag & kCflagMask), cflag | CREAD | CLOCAL);
    QCOMPARE(uint(mode->tio.c_iflag), iflag);
    // Raw mode: no output processing, no echo, no canonical input, no signals.
    QCOMPARE(uint(mode->tio.c_oflag), 0u);
    QCOMPARE(uint(mode->tio.c_lflag), 0u);
    QCOMPARE(int(mode->tio.c_cc[VMIN]), 1);
    QCOMPARE(int(mode->tio.c_cc[VTIME]), 0);
    QCOMPARE(int(mode->eDtr), dtr);
    QCOMPARE(int(mode->eRts), rts);

    // The record's fields agree with the bits.
    const int nData = (cflag & CSIZE) == CS5 ? 5 : (cflag & CSIZE) == CS6 ? 6 : (cflag & CSIZE) == CS7 ? 7 : 8;
    QCOMPARE(mode->nDataBits, nData);
    QCOMPARE(mode->bRtsCts, (cflag & CRTSCTS) != 0);
    QCOMPARE(mode->bXonXoff, iflag != 0);
}

void TestSerialMode::refused_data()
{
    QTest::addColumn<QByteArray>("setup");

    QTest::newRow("no colon") << QByteArray("COM2");
    QTest::newRow("nothing after colon") << QByteArray("COM2:");
    QTest::newRow("blank mode") << QByteArray("COM2:   ");
    QTest::newRow("missing baud") << QByteArray("COM2:,n,8,1");
    QTest::newRow("baud zero") << QByteArray("COM2:0,n,8,1");
    QTest::newRow("baud zeros only") << QByteArray("COM2:000,n,8,1");
    QTest::newRow("baud negative") << QByteArray("COM2:-9600");
    QTest::newRow("baud plus") << QByteArray("COM2:+9600");
    QTest::newRow("baud letters") << QByteArray("COM2:96x0,n,8,1");
    QTest::newRow("baud overflow") << QByteArray("COM2:99999999999999999999");
    QTest::newRow("baud beyond int") << QByteArray("COM2:2147483648");
    QTest::newRow("baud fraction") << QByteArray("COM2:9600.5");
    QTest::newRow("parity letter") << QByteArray("COM2:9600,x,8,1");
    QTest::newRow("parity word") << QByteArray("COM2:9600,none,8,1");
    QTest::newRow("data 4") << QByteArray("COM2:9600,n,4,1");
    QTest::newRow("data 9") << QByteArray("COM2:9600,n,9,1");
    QTest::newRow("data 09") << QByteArray("COM2:9600,n,09,1");
    QTest::newRow("stop 0.5") << QByteArray("COM2:9600,n,5,0.5");
    QTest::newRow("stop 00") << QByteArray("COM2:9600,n,8,00");
    QTest::newRow("stop 1.50") << QByteArray("COM2:110,n,5,1.50");
    QTest::newRow("stop 3") << QByteArray("COM2:9600,n,8,3");
    QTest::newRow("stop 0") << QByteArray("COM2:9600,n,8,0");
    QTest::newRow("stop 1.5 with 8 data") << QByteArray("COM2:9600,n,8,1.5");
    QTest::newRow("stop 2 with 5 data") << QByteArray("COM2:9600,n,5,2");
    QTest::newRow("flow letter") << QByteArray("COM2:9600,n,8,1,d");
    QTest::newRow("too many fields") << QByteArray("COM2:9600,n,8,1,x,y");
    QTest::newRow("trailing comma after flow") << QByteArray("COM2:9600,n,8,1,x,");
    QTest::newRow("embedded nul") << QByteArray("COM2:96\0" "00", 9);

    QTest::newRow("kw no baud") << QByteArray("COM2: parity=n data=8");
    QTest::newRow("kw unknown key") << QByteArray("COM2: baud=9600 to=on");
    QTest::newRow("kw idsr") << QByteArray("COM2: baud=9600 idsr=on");
    QTest::newRow("kw duplicate key") << QByteArray("COM2: baud=9600 baud=4800");
    QTest::newRow("kw empty value") << QByteArray("COM2: baud= parity=n");
    QTest::newRow("kw missing =") << QByteArray("COM2: baud=9600 parity");
    QTest::newRow("kw double =") << QByteArray("COM2: baud==9600");
    QTest::newRow("kw bad parity") << QByteArray("COM2: baud=9600 parity=q");
    QTest::newRow("kw bad switch") << QByteArray("COM2: baud=9600 xon=yes");
    QTest::newRow("kw xon hs") << QByteArray("COM2: baud=9600 xon=hs");
    QTest::newRow("kw dtr hs") << QByteArray("COM2: baud=9600 dtr=hs");
    QTest::newRow("kw rts toggle") << QByteArray("COM2: baud=9600 rts=tg");
    QTest::newRow("kw octs on rts off") << QByteArray("COM2: baud=9600 octs=on rts=off");
    QTest::newRow("kw rts hs octs off") << QByteArray("COM2: baud=9600 rts=hs octs=off");
    QTest::newRow("kw 1.5 with 8 data") << QByteArray("COM2: baud=9600 stop=1.5");
    QTest::newRow("kw mixed with comma") << QByteArray("COM2:9600,n,8,1 xon=on");
}

void TestSerialMode::refused()
{
    QFETCH(QByteArray, setup);
    QVERIFY(!ParseSerialMode(setup));
}

void TestSerialMode::devicePath_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("path"); // empty: refused

    QTest::newRow("COM1") << QByteArray("COM1") << QStringLiteral("/dev/ttyS0");
    QTest::newRow("COM2") << QByteArray("COM2") << QStringLiteral("/dev/ttyS1");
    QTest::newRow("COM10") << QByteArray("COM10") << QStringLiteral("/dev/ttyS9");
    QTest::newRow("mapped COM2 wins") << QByteArray("COM3") << QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("mapped other name") << QByteArray("GPS") << QStringLiteral("/dev/serial/by-id/gps");
    QTest::newRow("COM0") << QByteArray("COM0") << QString();
    QTest::newRow("COMX") << QByteArray("COMX") << QString();
    QTest::newRow("COM") << QByteArray("COM") << QString();
    QTest::newRow("COM01") << QByteArray("COM01") << QString();
    QTest::newRow("COM-1") << QByteArray("COM-1") << QString();
    QTest::newRow("COM1x") << QByteArray("COM1x") << QString();
    QTest::newRow("COM huge") << QByteArray("COM99999999999") << QString();
    QTest::newRow("lower case") << QByteArray("com1") << QString();
    QTest::newRow("relative mapping") << QByteArray("COM8") << QString();
    QTest::newRow("empty mapping") << QByteArray("COM9") << QString();
    QTest::newRow("unmapped name") << QByteArray("GPS2") << QString();
    QTest::newRow("path as name") << QByteArray("/dev/ttyS0") << QString();
}

void TestSerialMode::devicePath()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, path);
    const QMap<QByteArray, QString> portMap{
        {"COM3", QStringLiteral("/dev/ttyUSB0")},
        {"GPS", QStringLiteral("/dev/serial/by-id/gps")},
        {"COM8", QStringLiteral("ttyUSB1")},
        {"COM9", QString()},
    };
    QCOMPARE(SerialDevicePath(name, portMap), path);
}

void TestSerialMode::readBack_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<uint>("cflagOff"); // bits the device dropped
    QTest::addColumn<uint>("cflagOn");  // bits the device added
    QTest::addColumn<uint>("iflagOff");
    QTest::addColumn<uint>("baud");     // read back
    QTest::addColumn<bool>("took");

    QTest::newRow("as asked") << QByteArray("COM1:9600,e,7,2,p") << 0u << 0u << 0u << 9600u << true;
    QTest::newRow("pty keeps 8 bits, no parity") << QByteArray("COM1:9600,e,7,1") << uint(CS7 | PARENB) << uint(CS8) << 0u << 9600u << true;
    QTest::newRow("rate rounded within 2%") << QByteArray("COM1:250000") << 0u << 0u << 0u << 245000u << true;
    QTest::newRow("rate off by more") << QByteArray("COM1:250000") << 0u << 0u << 0u << 230400u << false;
    QTest::newRow("other rate") << QByteArray("COM1:9600") << 0u << 0u << 0u << 38400u << false;
    QTest::newRow("stop bits dropped") << QByteArray("COM1:9600,n,8,2") << uint(CSTOPB) << 0u << 0u << 9600u << false;
    QTest::newRow("stop bits added") << QByteArray("COM1:9600,n,8,1") << 0u << uint(CSTOPB) << 0u << 9600u << false;
    QTest::newRow("rts/cts dropped") << QByteArray("COM1:9600,n,8,1,p") << uint(CRTSCTS) << 0u << 0u << 9600u << false;
    QTest::newRow("xon dropped") << QByteArray("COM1:9600,n,8,1,x") << 0u << 0u << uint(IXOFF) << 9600u << false;
}

void TestSerialMode::readBack()
{
    QFETCH(QByteArray, setup);
    QFETCH(uint, cflagOff);
    QFETCH(uint, cflagOn);
    QFETCH(uint, iflagOff);
    QFETCH(uint, baud);
    QFETCH(bool, took);

    const auto mode = ParseSerialMode(setup);
    QVERIFY(mode);
    const tcflag_t nCflag = (mode->tio.c_cflag & ~tcflag_t(cflagOff)) | tcflag_t(cflagOn);
    const tcflag_t nIflag = mode->tio.c_iflag & ~tcflag_t(iflagOff);
    QCOMPARE(ModeTookEffect(*mode, nCflag, nIflag, baud), took);
}


void TestSerialMode::serialUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("tls");
    QTest::newRow("name") << "rfc2217://device01.plant:4001" << QByteArray("device01.plant") << 4001 << false;
    QTest::newRow("TLS, scheme in capitals") << "RFC2217S://10.0.0.7:65535" << QByteArray("10.0.0.7") << 65535 << true;
    QTest::newRow("IPv6") << "rfc2217://[fe80::1]:1" << QByteArray("fe80::1") << 1 << false;
    QTest::newRow("IPv6 without brackets") << "rfc2217://::1:4001" << QByteArray() << 0 << false;
    QTest::newRow("bad IPv6") << "rfc2217://[::g]:4001" << QByteArray() << 0 << false;
    QTest::newRow("unclosed bracket") << "rfc2217://[::1:4001" << QByteArray() << 0 << false;
    QTest::newRow("no port") << "rfc2217://host" << QByteArray() << 0 << false;
    QTest::newRow("empty port") << "rfc2217://host:" << QByteArray() << 0 << false;
    QTest::newRow("port 0") << "rfc2217://host:0" << QByteArray() << 0 << false;
    QTest::newRow("port 65536") << "rfc2217://host:65536" << QByteArray() << 0 << false;
    QTest::newRow("signed port") << "rfc2217://host:+80" << QByteArray() << 0 << false;
    QTest::newRow("no host") << "rfc2217://:4001" << QByteArray() << 0 << false;
    QTest::newRow("blank in host") << "rfc2217://a b:4001" << QByteArray() << 0 << false;
    QTest::newRow("pyserial options") << "rfc2217://host:4001?logging=debug" << QByteArray() << 0 << false;
    QTest::newRow("path") << "rfc2217://host:4001/" << QByteArray() << 0 << false;
    QTest::newRow("other scheme") << "socket://host:4001" << QByteArray() << 0 << false;
}

void TestSerialMode::serialUrl()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, host);
    QFETCH(int, port);
    QFETCH(bool, tls);
    QVERIFY(IsSerialUrl(url));
    QByteArray strWhy;
    const std::optional<SSerialUrl> parsed = ParseSerialUrl(url, &strWhy);
    QCOMPARE(parsed.has_value(), !host.isEmpty());
    if (!parsed) {
        QVERIFY(!strWhy.isEmpty());
        return;
    }
    QCOMPARE(parsed->strHost, host);
    QCOMPARE(int(parsed->nPort), port);
    QCOMPARE(parsed->bTls, tls);
    // A mapped URL is never taken for a device path.
    QCOMPARE(MappedSerialUrl("COM7", {{"COM7", url}}), std::optional<QString>(url));
    QVERIFY(SerialDevicePath("COM7", {{"COM7", url}}).isEmpty());
}

// The settings a mode string sends, and which answers count as refusals.
void TestSerialMode::comPortAnswers_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QList<quint32>>("answers"); // in the order of the commands; 0xFFFF: none
    QTest::addColumn<QList<QByteArray>>("refused");
    QTest::addColumn<QList<QByteArray>>("overdue");
    const quint32 none = 0xFFFF;
    using namespace ComPort;
    QTest::newRow("all agreed") << QByteArray("COM1:9600,o,7,2")
        << QList<quint32>{9600, 7, kParityOdd, kStopTwo, FlowNone, DtrOn, RtsOn} << QList<QByteArray>{}
        << QList<QByteArray>{};
    QTest::newRow("speed rounded within 2 %") << QByteArray("COM1:115200")
        << QList<quint32>{115384, 8, kParityNone, kStopOne, FlowNone, DtrOn, RtsOn} << QList<QByteArray>{}
        << QList<QByteArray>{};
    QTest::newRow("refusals") << QByteArray("COM1:9600,e,8,1,x")
        << QList<quint32>{19200, 8, kParityNone, kStopOne, FlowNone, DtrOn, RtsOn}
        << QList<QByteArray>{"SET-BAUDRATE 9600", "SET-PARITY even", "SET-CONTROL flow XON/XOFF"}
        << QList<QByteArray>{};
    // DTR's and RTS's answers come in any order among SET-CONTROL answers.
    QTest::newRow("control answered out of order, flow missing") << QByteArray("COM1:9600")
        << QList<quint32>{9600, 8, kParityNone, kStopOne, none, RtsOn, DtrOn} << QList<QByteArray>{}
        << QList<QByteArray>{"SET-CONTROL flow none"};
    QTest::newRow("RTS/CTS leaves RTS to the server") << QByteArray("COM1:9600,n,8,1,p")
        << QList<quint32>{9600, 8, kParityNone, kStopOne, FlowHardware, DtrOn} << QList<QByteArray>{}
        << QList<QByteArray>{};
}

void TestSerialMode::comPortAnswers()
{
    QFETCH(QByteArray, setup);
    QFETCH(QList<quint32>, answers);
    QFETCH(QList<QByteArray>, refused);
    QFETCH(QList<QByteArray>, overdue);
    const std::optional<SSerialMode> mode = ParseSerialMode(setup);
    QVERIFY(mode);
    const QList<SComPortMessage> commands = ComPortSettingsOf(*mode);
    QCOMPARE(commands.size(), answers.size());
    CComPortRequests requests;
    for (const SComPortMessage& command : commands)
        requests.Sent(command, 1000);
    QCOMPARE(requests.NextDeadline(), 1000 + CComPortRequests::kAnswerTimeoutMs);
    QList<QByteArray> gotRefused;
    for (qsizetype i = 0; i < commands.size(); ++i) {
        // Answers of SET-CONTROL are given in the order of the list, which
        // may differ from the commands'.
        if (answers[i] == 0xFFFF)
            continue;
        SComPortMessage answer = commands[i];
        answer.bFromServer = true;
        answer.nValue = answers[i];
        if (const std::optional<SComPortMessage> command = requests.Answered(answer))
            gotRefused.append(DescribeComPortMessage(*command));
    }
    QCOMPARE(gotRefused, refused);
    QVERIFY(requests.TakeOverdue(1000 + CComPortRequests::kAnswerTimeoutMs - 1).isEmpty());
    QList<QByteArray> gotOverdue;
    for (const SComPortMessage& command : requests.TakeOverdue(1000 + CComPortRequests::kAnswerTimeoutMs))
        gotOverdue.append(DescribeComPortMessage(command));
    QCOMPARE(gotOverdue, overdue);
    QVERIFY(requests.IsEmpty());
}

QTEST_GUILESS_MAIN(TestSerialMode)
#include "tst_serialmode.moc"
