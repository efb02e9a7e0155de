#include <QDeadlineTimer>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <thread>

#include "fake_serial_layer.h"
#include "platform/qt_serial_layer.h"
#include "protocol/key_table.h"
#include "pty_pair.h"
#include "serial/port_manager.h"

using namespace tolvane;
using namespace std::chrono_literals;
using tolvane::testing::Pty;

namespace {

QByteArray bytes(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

// Points COM1 at the test's own pty for the life of the object.
struct Com1On {
    explicit Com1On(const QString& path) { qputenv("TOLVANE_COM1", path.toLocal8Bit()); }
    ~Com1On() { qunsetenv("TOLVANE_COM1"); }
};

void openOn(QtSerialLayer& layer, const Pty& pty) {
    Com1On com1(pty.path());
    layer.Settings("9600,N,8,1");
    layer.PortOpen(true);
}

}  // namespace

class QtSerialLayerTest : public QObject {
    Q_OBJECT

  private slots:
    void keyPressArrivesExactlyInOrder();
    void countAndDiscard();
    void inputBeforeOpenIsDiscarded();
    void receiveBufferIsBounded();
    void secondOpenOfTheSamePortFails();
    void closedPortRefusesWritesAndReads();
    void closingFlushesQueuedBytes();
    void laggingLineHoldsPressesBackWhole();
    void hangUpClosesAndStaysQuiet();
    void badDeviceNamesFailToOpen_data();
    void badDeviceNamesFailToOpen();
    void malformedSettingsFail();
};

void QtSerialLayerTest::keyPressArrivesExactlyInOrder() {
    Pty pty;
    QtSerialLayer layer;
    openOn(layer, pty);
    QVERIFY(layer.PortOpen());
    const KeyCommand& colour = *findKey("mColour");
    sendKey(layer, colour);
    const QByteArray expected = bytes(leadInFrame(colour)) + bytes(keyFrame(colour));
    QCOMPARE(expected.size(), 25);
    QCOMPARE(pty.readFromPanel(expected.size()), expected);
    QCOMPARE(pty.readFromPanel(1, 100ms), QByteArray());  // nothing else
}

void QtSerialLayerTest::countAndDiscard() {
    Pty pty;
    QtSerialLayer layer;
    openOn(layer, pty);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
    pty.writeToPanel(QByteArray("\x06\x07\x08", 3));
    QTRY_COMPARE(layer.InBufferCount(), std::int16_t{3});
    layer.InBufferCount(0);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
    QTest::qWait(50);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
}

void QtSerialLayerTest::inputBeforeOpenIsDiscarded() {
    Pty pty;
    pty.writeToPanel("stale");
    QtSerialLayer layer;
    openOn(layer, pty);
    QTest::qWait(50);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
}

void QtSerialLayerTest::receiveBufferIsBounded() {
    Pty pty;
    QtSerialLayer layer;
    openOn(layer, pty);
    for (int i = 0; i < 4; ++i) pty.writeToPanel(QByteArray(2000, '\x55'));
    QTRY_VERIFY(layer.InBufferCount() >= kReceiveBufferSize);
    QTest::qWait(50);
    QCOMPARE(layer.InBufferCount(), std::int16_t(kReceiveBufferSize));
    layer.InBufferCount(0);
    QTest::qWait(50);
    QVERIFY(layer.InBufferCount() < kReceiveBufferSize);
    // Reading goes on after the discard: a reply that follows is counted, and so is a hang-up.
    pty.writeToPanel(QByteArray("\x06", 1));
    QTRY_VERIFY(layer.InBufferCount() >= 1);
    layer.InBufferCount(0);
    pty.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!layer.PortOpen(), 2000);
}

void QtSerialLayerTest::secondOpenOfTheSamePortFails() {
    Pty pty;
    QtSerialLayer first;
    openOn(first, pty);
    QtSerialLayer second;
    QVERIFY_THROWS_EXCEPTION(SerialError, openOn(second, pty));
    QVERIFY(!second.PortOpen());
    // The first one is undisturbed.
    first.Output(probeFrame());
    QCOMPARE(pty.readFromPanel(9), bytes(probeFrame()));
}

void QtSerialLayerTest::closedPortRefusesWritesAndReads() {
    QtSerialLayer layer;
    try {
        layer.Output(probeFrame());
        QFAIL("a write on a closed port succeeded");
    } catch (const SerialError& e) {
        QVERIFY(e.kind() == SerialError::Kind::Write);
    }
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.InBufferCount());
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.InBufferCount(0));
}

// Bytes still queued when the port closes (the line lagged) leave before it does: the far end
// starts reading only while the close waits for them.
void QtSerialLayerTest::closingFlushesQueuedBytes() {
    Pty pty;
    QByteArray expected;
    QByteArray got;
    {
        QtSerialLayer layer;
        openOn(layer, pty);
        for (int round = 0; layer.OutBufferCount() == 0 && round < 100; ++round)
            for (const KeyCommand& key : kKeys) {
                sendKey(layer, key);
                expected += bytes(leadInFrame(key)) + bytes(keyFrame(key));
            }
        QVERIFY(layer.OutBufferCount() > 0);
        std::thread farEnd([&] {
            std::this_thread::sleep_for(50ms);
            got = pty.readFromPanel(expected.size(), 2s);
        });
        layer.PortOpen(false);
        QVERIFY(!layer.PortOpen());
        farEnd.join();
    }
    QCOMPARE(got.size(), expected.size());
    QCOMPARE(got, expected);
}

// The far end stops reading: the terminal's buffer (about 16 KiB here) fills and writes meet
// EAGAIN. Presses wait in the queue and leave whole once it reads again; only a press that
// would take the queue past its bound is refused, and then whole.
void QtSerialLayerTest::laggingLineHoldsPressesBackWhole() {
    Pty pty;
    QtSerialLayer layer;
    openOn(layer, pty);
    const KeyCommand& volume = *findKey("mVolume");
    const QByteArray press = bytes(leadInFrame(volume)) + bytes(keyFrame(volume));
    auto readAll = [&](qsizetype count) {
        QByteArray got;
        const QDeadlineTimer deadline(10s);
        while (got.size() < count && !deadline.hasExpired()) {
            QCoreApplication::processEvents();  // lets the queue move on as the line takes it
            got += pty.readFromPanel(count - got.size(), 5ms);
        }
        return got + pty.readFromPanel(1, 100ms);  // and nothing more
    };

    for (int i = 0; i < 1200; ++i) sendKey(layer, volume);
    QVERIFY(layer.OutBufferCount() > 0);  // the line did lag
    QVERIFY(layer.PortOpen());
    QCOMPARE(readAll(1200 * press.size()), press.repeated(1200));

    int accepted = 0;
    try {
        for (; accepted < 10000; ++accepted) sendKey(layer, volume);
    } catch (const SerialError& e) {
        QVERIFY(e.kind() == SerialError::Kind::Write);
    }
    QVERIFY(accepted > int(kOutBufferSize) / press.size() && accepted < 10000);
    QVERIFY(layer.PortOpen());
    QCOMPARE(readAll(accepted * press.size()), press.repeated(accepted));
    sendKey(layer, volume);  // and the line takes presses again
    QCOMPARE(pty.readFromPanel(press.size()), press);
}

void QtSerialLayerTest::hangUpClosesAndStaysQuiet() {
    {
        // Found by the write itself, before any event-loop pass: that write fails and closes.
        Pty pty;
        QtSerialLayer layer;
        openOn(layer, pty);
        pty.hangUp();
        QVERIFY_THROWS_EXCEPTION(SerialError, layer.Output(probeFrame()));
        QVERIFY(!layer.PortOpen());
    }
    Pty pty;
    QtSerialLayer layer;
    openOn(layer, pty);
    pty.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!layer.PortOpen(), 2000);
    const auto before = tolvane::testing::processCpuTime();
    QTest::qWait(1000);
    const auto spent = tolvane::testing::processCpuTime() - before;
    qInfo("CPU time in the second after a hang-up: %lld us", qlonglong(spent.count()));
    QVERIFY(spent < 50ms);
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.Output(probeFrame()));
}

void QtSerialLayerTest::badDeviceNamesFailToOpen_data() {
    QTest::addColumn<QString>("device");
    QTest::newRow("missing") << "/nonexistent/tolvane-port";
    QTest::newRow("directory") << QDir::tempPath();
    QTest::newRow("null device") << "/dev/null";
    QTest::newRow("empty") << "";
    QTest::newRow("4 KiB") << "/" + QString(4096, 'x');
}

void QtSerialLayerTest::badDeviceNamesFailToOpen() {
    QFETCH(QString, device);
    qputenv("TOLVANE_COM1", device.toLocal8Bit());
    QtSerialLayer layer;
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.PortOpen(true));
    qunsetenv("TOLVANE_COM1");
    QVERIFY(!layer.PortOpen());
}

void QtSerialLayerTest::malformedSettingsFail() {
    QtSerialLayer layer;
    try {
        layer.Settings("9600,Q,8,1");
        QFAIL("malformed settings were taken");
    } catch (const SerialError& e) {
        QVERIFY(e.kind() == SerialError::Kind::Settings);
        QVERIFY(QString(e.what()).contains("parity"));
    }
}

QTEST_GUILESS_MAIN(QtSerialLayerTest)
#include "test_qt_serial_layer.moc"
