#include <QTest>
#include <cstring>

#include "lock/lock_file.h"
#include "ports/port_catalogue.h"
#include "ports/port_mapping.h"
#include "transport/line_settings.h"

using namespace tolvane;
using Ports = std::vector<std::string>;

static PortAddress serial(const char* path) {
    return {PortAddress::Kind::SerialDevice, path, {}, 0, {}};
}

class PlatformTest : public QObject {
    Q_OBJECT

  private slots:
    void portMapping();
    void naturalOrder();
    void networkAddresses_data();
    void networkAddresses();
    void validSettings();
    void malformedSettings_data();
    void malformedSettings();
    void lockFileContents_data();
    void lockFileContents();
    void lockFileNamesAndPaths();
    void adapterFoundByIdentity_data();
    void adapterFoundByIdentity();
    void openFailureNamesTheCulprits_data();
    void openFailureNamesTheCulprits();
};

void PlatformTest::portMapping() {
    // This machine's ports are only names here: nothing is opened.
    const Ports usbOnly{"/dev/ttyUSB0"};
    QCOMPARE(deviceForPort(1, std::nullopt, usbOnly), serial("/dev/ttyUSB0"));
    QCOMPARE(deviceForPort(2, std::nullopt, usbOnly), serial("/dev/ttyS1"));
    QCOMPARE(deviceForPort(4, std::nullopt, {}), serial("/dev/ttyS3"));
    const Ports mixed{"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyS0", "/dev/ttyUSB0"};
    QCOMPARE(deviceForPort(2, std::nullopt, mixed), serial("/dev/ttyUSB0"));
    QCOMPARE(deviceForPort(4, std::nullopt, mixed), serial("/dev/ttyACM0"));
    // An override wins, even an empty one: it is reported as bad when opened, not replaced.
    QCOMPARE(deviceForPort(1, std::string("/tmp/projector"), mixed), serial("/tmp/projector"));
    QCOMPARE(deviceForPort(1, std::string(), mixed), serial(""));
}

void PlatformTest::naturalOrder() {
    const Ports shuffled{"/dev/ttyUSB10", "/dev/ttyS10", "/dev/ttyACM0",
                         "/dev/ttyUSB2",  "/dev/ttyS2",  "/dev/ttyAMA0"};
    const Ports expected{"/dev/ttyS2",    "/dev/ttyS10",  "/dev/ttyUSB2",
                         "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyAMA0"};
    QCOMPARE(naturalPortOrder(shuffled), expected);
}

void PlatformTest::networkAddresses_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");  // for Invalid: a word of the reason
    QTest::addColumn<int>("port");
    using K = PortAddress::Kind;
    const struct {
        const char* name;
        K kind;
        const char* host;
        int port;
    } rows[] = {
        {"tcp://127.0.0.1:2000", K::Tcp, "127.0.0.1", 2000},
        {"rfc2217://projector-hall.example.org:7000", K::Rfc2217, "projector-hall.example.org",
         7000},
        {"RFC2217://Server1:65535", K::Rfc2217, "Server1", 65535},
        {"tcp://[::1]:1", K::Tcp, "::1", 1},
        {"tcp://[fe80::1:2]:23", K::Tcp, "fe80::1:2", 23},
        {"tcp://host.:23", K::Tcp, "host.", 23},
        {"tcp://host", K::Invalid, "PORT", 0},
        {"tcp://host:", K::Invalid, "port", 0},
        {"tcp://host:0", K::Invalid, "port", 0},
        {"tcp://host:65536", K::Invalid, "port", 0},
        {"tcp://host:+80", K::Invalid, "port", 0},
        {"tcp://host:80/", K::Invalid, "port", 0},
        {"tcp://:80", K::Invalid, "host", 0},
        {"tcp://::1:80", K::Invalid, "brackets", 0},
        {"tcp://[::1:80", K::Invalid, "]", 0},
        {"tcp://[::1]80", K::Invalid, "PORT", 0},
        {"tcp://[nohex]:80", K::Invalid, "IPv6", 0},
        {"tcp://256.1.1.1:80", K::Invalid, "IPv4", 0},
        {"tcp://1.2.3:80", K::Invalid, "IPv4", 0},
        {"tcp://-bad.host:80", K::Invalid, "host", 0},
        {"tcp://user@host:80", K::Invalid, "host", 0},
        {"tcp://ho st:80", K::Invalid, "host", 0},
        {"/dev/tcp://x:1", K::SerialDevice, "", 0},
        {"telnet://host:23", K::SerialDevice, "", 0},
    };
    for (const auto& row : rows)
        QTest::newRow(row.name) << row.name << int(row.kind) << row.host << row.port;
}

void PlatformTest::networkAddresses() {
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    const PortAddress address = deviceForPort(2, name.toStdString(), {"/dev/ttyS0"});
    QCOMPARE(int(address.kind), kind);
    QCOMPARE(address.path, name.toStdString());
    if (address.kind == PortAddress::Kind::Invalid) {
        QVERIFY2(QString::fromStdString(address.problem).contains(host), address.problem.c_str());
    } else {
        QCOMPARE(QString::fromStdString(address.host), host);
        QCOMPARE(int(address.port), port);
    }
}

void PlatformTest::validSettings() {
    using P = LineSettings::Parity;
    using S = LineSettings::StopBits;
    // Each with the time its line takes for one 12-byte frame, in microseconds.
    const struct {
        const char* text;
        LineSettings expected;
        long frameMicros;
    } rows[] = {{"9600,N,8,1", {9600, P::None, 8, S::One}, 12500},
                {"19200,e,7,1.5", {19200, P::Even, 7, S::OneAndHalf}, 6563},
                {"300,S,5,2", {300, P::Space, 5, S::Two}, 360000},
                {"115200,o,6,1", {115200, P::Odd, 6, S::One}, 938},
                {"1200,M,8,2", {1200, P::Mark, 8, S::Two}, 120000}};
    for (const auto& row : rows) {
        const LineSettings got = parseLineSettings(row.text);
        QVERIFY2(got == row.expected, row.text);
        QCOMPARE(lineTime(got, 12).count(), row.frameMicros);
    }
}

void PlatformTest::malformedSettings_data() {
    QTest::addColumn<QString>("text");
    for (const char* bad :
         {"", "9600", "9600,N,8", "9600,N,8,1,", "9600,X,8,1", "9600,NN,8,1", "96OO,N,8,1",
          "-9600,N,8,1", "0,N,8,1", "9600,N,9,1", "9600,N,4,1", "9600,N,8,3", "9600,N,8,1.0",
          " 9600,N,8,1", "99999999999,N,8,1", "9600,,8,1"})
        QTest::newRow(bad) << QString(bad);
}

void PlatformTest::malformedSettings() {
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, parseLineSettings(text.toStdString()));
}

void PlatformTest::lockFileContents_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("pid");  // 0: names no process
    std::int32_t binary = 4242;
    const QByteArray native(reinterpret_cast<const char*>(&binary), sizeof binary);
    QTest::newRow("ASCII, %10d") << QByteArray("      4242\n") << qint64(4242);
    QTest::newRow("ASCII, no newline") << QByteArray("4242") << qint64(4242);
    QTest::newRow("ASCII, CRLF and blanks") << QByteArray(" 4242 \r\n") << qint64(4242);
    QTest::newRow("Qt's form") << QByteArray("4242\ntolvane\nhost\n") << qint64(4242);
    QTest::newRow("binary") << native << qint64(4242);
    QTest::newRow("largest PID") << QByteArray("2147483647\n") << qint64(2147483647);
    QTest::newRow("empty") << QByteArray() << qint64(0);
    QTest::newRow("blank line") << QByteArray("   \n") << qint64(0);
    QTest::newRow("zero") << QByteArray("0000000000\n") << qint64(0);
    QTest::newRow("negative") << QByteArray("-4242\n") << qint64(0);
    QTest::newRow("binary negative") << QByteArray("\xff\xff\xff\xff", 4) << qint64(0);
    QTest::newRow("binary, five bytes") << native + '\0' << qint64(0);
    QTest::newRow("not an int") << QByteArray("2147483648\n") << qint64(0);
    QTest::newRow("eleven digits") << QByteArray("00000004242\n") << qint64(0);
    QTest::newRow("text after the PID") << QByteArray("4242 tolvane\n") << qint64(0);
    QTest::newRow("NUL after the PID") << QByteArray("42\0\n", 4) << qint64(0);
}

void PlatformTest::lockFileContents() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, pid);
    const auto got = lockFilePid(std::span(
        reinterpret_cast<const std::uint8_t*>(content.constData()), std::size_t(content.size())));
    QCOMPARE(got.value_or(0), pid);
}

void PlatformTest::lockFileNamesAndPaths() {
    QCOMPARE(devicePathForName("ttyUSB0"), std::string("/dev/ttyUSB0"));
    QCOMPARE(devicePathForName("serial/by-id/usb-x"), std::string("/dev/serial/by-id/usb-x"));
    QCOMPARE(devicePathForName("/tmp/port"), std::string("/tmp/port"));
    QCOMPARE(devicePathForName("./port"), std::string("./port"));
    QCOMPARE(devicePathForName("../port"), std::string("../port"));
    using Names = std::vector<std::string>;
    QCOMPARE(lockFileNames("/tmp/x/port", "/dev/pts/3", 136, 3),
             (Names{"LCK..port", "LCK.._tmp_x_port", "LCK..3", "LCK..pts_3", "LCK.136.003"}));
    QCOMPARE(lockFileNames("/dev/ttyUSB0", "/dev/ttyUSB0", 188, 0),
             (Names{"LCK..ttyUSB0", "LCK.188.000"}));
    // Qt's name for a long path would be no file name at all: it is left out.
    const std::string deep = "/tmp/" + std::string(300, 'd') + "/port";
    QCOMPARE(lockFileNames(deep, "/dev/ttyS0", 4, 64),
             (Names{"LCK..port", "LCK..ttyS0", "LCK.004.064"}));
}

void PlatformTest::adapterFoundByIdentity_data() {
    QTest::addColumn<QString>("wanted");  // vendor:product:serial:by-id
    QTest::addColumn<QString>("found");   // "" for none
    // Present now: the adapter re-plugged as ttyUSB1, another of the same kind, a dual-port
    // adapter (one serial number for both), and a built-in port.
    QTest::newRow("renumbered, same serial number") << "0403:6001:A600ABCD:"
                                                    << "/dev/ttyUSB1";
    QTest::newRow("same maker and product, other serial number") << "0403:6001:A600ZZZZ:"
                                                                 << "";
    QTest::newRow("same serial number, other product") << "0403:6015:A600ABCD:"
                                                       << "";
    QTest::newRow("same serial number, other maker") << "067b:6001:A600ABCD:"
                                                     << "";
    QTest::newRow("by-id name, renumbered") << "::A600ABCD:usb-FTDI_A600ABCD-if00-port0"
                                            << "/dev/ttyUSB1";
    QTest::newRow("by-id name picks one port of two") << "0403:6010:FT4232:usb-FT_FT4232-if01-port0"
                                                      << "/dev/ttyUSB3";
    QTest::newRow("two ports share the serial number") << "0403:6010:FT4232:"
                                                       << "";
    QTest::newRow("nothing known") << ":::"
                                   << "";
}

void PlatformTest::adapterFoundByIdentity() {
    QFETCH(QString, wanted);
    QFETCH(QString, found);
    const auto parts = wanted.split(':');
    const PortIdentity identity{parts[3].toStdString(), parts[0].toStdString(),
                                parts[1].toStdString(), parts[2].toStdString()};
    const std::vector<PresentPort> present{
        {"/dev/ttyS0", {}},
        {"/dev/ttyUSB0", {"usb-FTDI_A600ZZZ1-if00-port0", "0403", "6001", "A600ZZZ1"}},
        {"/dev/ttyUSB1", {"usb-FTDI_A600ABCD-if00-port0", "0403", "6001", "A600ABCD"}},
        {"/dev/ttyUSB2", {"usb-FT_FT4232-if00-port0", "0403", "6010", "FT4232"}},
        {"/dev/ttyUSB3", {"usb-FT_FT4232-if01-port0", "0403", "6010", "FT4232"}},
    };
    QCOMPARE(QString::fromStdString(findAdapter(identity, present).value_or("")), found);
}

void PlatformTest::openFailureNamesTheCulprits_data() {
    using Why = OpenFailureFacts::Why;
    QTest::addColumn<int>("why");
    QTest::addColumn<QString>("group");  // the device's group; "" when its group may not open it
    QTest::addColumn<bool>("inGroup");
    QTest::addColumn<bool>("usb");
    QTest::addColumn<bool>("brltty");
    QTest::addColumn<bool>("modemManager");
    QTest::addColumn<QStringList>("fixes");
    QTest::addColumn<QString>("said");  // after the reason, in the log and by tolvane-send
    const QString group = "sudo usermod -aG dialout $USER";
    const QString brltty = "sudo apt-get remove brltty";
    const QString mm = "sudo systemctl stop ModemManager";
    const QString groupLine = "; you are not in the group dialout of the device: " + group +
                              ", then log out and in again";
    const QString brlttyLine =
        "; brltty is installed and claims some USB serial adapters: " + brltty +
        " (unless a braille display needs it)";
    const QString mmLine = "; ModemManager is running and may be probing the port: " + mm;
    const QString question = " (is the user in the dialout group?)";
    QTest::newRow("denied, not in dialout") << int(Why::Denied) << "dialout" << false << true
                                            << false << false << QStringList{group} << groupLine;
    QTest::newRow("denied, in dialout") << int(Why::Denied) << "dialout" << true << true << false
                                        << false << QStringList{} << question;
    QTest::newRow("denied, group may not open")
        << int(Why::Denied) << "" << false << false << false << false << QStringList{} << question;
    QTest::newRow("denied, group may not open, ModemManager")
        << int(Why::Denied) << "" << false << false << false << true << QStringList{mm}
        << question + mmLine;
    QTest::newRow("adapter missing, brltty") << int(Why::Missing) << "" << true << true << true
                                             << false << QStringList{brltty} << brlttyLine;
    QTest::newRow("built-in port missing, brltty")
        << int(Why::Missing) << "" << true << false << true << false << QStringList{} << "";
    QTest::newRow("busy, ModemManager and brltty")
        << int(Why::Busy) << "dialout" << true << true << true << true << QStringList{brltty, mm}
        << brlttyLine + mmLine;
    QTest::newRow("missing, ModemManager")
        << int(Why::Missing) << "" << true << false << false << true << QStringList{} << "";
    QTest::newRow("other failure")
        << int(Why::Other) << "dialout" << false << true << true << true << QStringList{} << "";
}

void PlatformTest::openFailureNamesTheCulprits() {
    QFETCH(int, why);
    QFETCH(QString, group);
    QFETCH(bool, inGroup);
    QFETCH(bool, usb);
    QFETCH(bool, brltty);
    QFETCH(bool, modemManager);
    QFETCH(QStringList, fixes);
    QFETCH(QString, said);
    const OpenFailureFacts facts{
        OpenFailureFacts::Why(why), group.toStdString(), inGroup, usb, brltty, modemManager};
    const QString hints = QString::fromStdString(joinHints(openFailureHints(facts)));
    QCOMPARE(hints, said);
    QStringList seen;
    for (const QString& fix : {QStringLiteral("sudo usermod -aG dialout $USER"),
                               QStringLiteral("sudo apt-get remove brltty"),
                               QStringLiteral("sudo systemctl stop ModemManager")})
        if (hints.contains(fix)) seen << fix;
    QCOMPARE(seen, fixes);
}
QTEST_APPLESS_MAIN(PlatformTest)
#include "test_platform.moc"
