#include <QTest>

#include "platform/line_settings.h"
#include "platform/port_mapping.h"

using namespace tolvane;
using Ports = std::vector<std::string>;

static PortAddress serial(const char* path) {
    return {PortAddress::Kind::SerialDevice, path};
}

class PlatformTest : public QObject {
    Q_OBJECT

  private slots:
    void portMapping();
    void naturalOrder();
    void validSettings();
    void malformedSettings_data();
    void malformedSettings();
};

void PlatformTest::portMapping() {
    // This machine's ports are only names here: nothing is opened.
    const Ports usbOnly{"/dev/ttyUSB0"};
    QCOMPARE(deviceForPort(1, std::nullopt, usbOnly, HostSystem::Linux), serial("/dev/ttyUSB0"));
    QCOMPARE(deviceForPort(2, std::nullopt, usbOnly, HostSystem::Linux), serial("/dev/ttyS1"));
    QCOMPARE(deviceForPort(4, std::nullopt, {}, HostSystem::Linux), serial("/dev/ttyS3"));
    const Ports mixed{"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyS0", "/dev/ttyUSB0"};
    QCOMPARE(deviceForPort(2, std::nullopt, mixed, HostSystem::Linux), serial("/dev/ttyUSB0"));
    QCOMPARE(deviceForPort(4, std::nullopt, mixed, HostSystem::Linux), serial("/dev/ttyACM0"));
    // An override wins, even an empty one: it is reported as bad when opened, not replaced.
    QCOMPARE(deviceForPort(1, std::string("/tmp/projector"), mixed, HostSystem::Linux),
             serial("/tmp/projector"));
    QCOMPARE(deviceForPort(1, std::string(), mixed, HostSystem::Linux), serial(""));
    QCOMPARE(deviceForPort(3, std::nullopt, mixed, HostSystem::Windows), serial("COM3"));
}

void PlatformTest::naturalOrder() {
    const Ports shuffled{"/dev/ttyUSB10", "/dev/ttyS10", "/dev/ttyACM0",
                         "/dev/ttyUSB2",  "/dev/ttyS2",  "/dev/ttyAMA0"};
    const Ports expected{"/dev/ttyS2",    "/dev/ttyS10",  "/dev/ttyUSB2",
                         "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyAMA0"};
    QCOMPARE(naturalPortOrder(shuffled), expected);
}

void PlatformTest::validSettings() {
    QCOMPARE(parseLineSettings("9600,N,8,1"), LineSettings{});
    const LineSettings s = parseLineSettings("19200,e,7,1.5");
    QCOMPARE(s.baud, 19200);
    QVERIFY(s.parity == LineSettings::Parity::Even);
    QCOMPARE(s.dataBits, 7);
    QVERIFY(s.stopBits == LineSettings::StopBits::OneAndHalf);
    QVERIFY(parseLineSettings("300,S,5,2").parity == LineSettings::Parity::Space);
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

QTEST_APPLESS_MAIN(PlatformTest)
#include "test_platform.moc"
