#include <QTest>
#include <set>

#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "protocol/frame.h"
#include "protocol/key_names.h"
#include "protocol/key_table.h"
#include "serial/port_manager.h"

using namespace tolvane;
using tolvane::testing::FakeSerialLayer;

using namespace tolvane::testing;

class ProtocolTest : public QObject {
    Q_OBJECT

  private slots:
    void keyPress_data();
    void keyPress();
    void tableCoversEveryKeyOnce();
    void probeFrame();
    void encoderRules();
    void closeKeyNames_data();
    void closeKeyNames();
};

// Wire bytes copied from the key command table, not recomputed.
void ProtocolTest::keyPress_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("leadIn");
    QTest::addColumn<QString>("keyFrame");
    for (const ExpectedControl& key : keypadData().keys())
        QTest::newRow(qPrintable(key.name)) << key.name << QString::fromStdString(key.leadIn)
                                            << QString::fromStdString(key.keyFrame);
}

// A press is exactly two writes: the lead-in frame, then the key frame.
void ProtocolTest::keyPress() {
    QFETCH(QString, control);
    QFETCH(QString, leadIn);
    QFETCH(QString, keyFrame);
    const KeyCommand* key = findKey(control.toStdString());
    QVERIFY(key);
    FakeSerialLayer port;
    port.PortOpen(true);
    port.transcript.clear();
    sendKey(port, *key);
    const std::vector<std::string> expected{"write " + leadIn.toStdString(),
                                            "write " + keyFrame.toStdString()};
    QCOMPARE(port.transcript, expected);
    // Pressing again sends the same bytes again: the frames keep no state.
    sendKey(port, *key);
    std::vector<std::string> twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    QCOMPARE(port.transcript, twice);
}

void ProtocolTest::tableCoversEveryKeyOnce() {
    std::set<std::uint8_t> codes;
    for (const KeyCommand& key : kKeys) {
        QVERIFY(codes.insert(key.code).second);
        QVERIFY(key.code != kLeadInCode);
        QCOMPARE(findKey(key.control), &key);
    }
    QCOMPARE(codes.size(), std::size_t{36});
    QVERIFY(findKey("CHECK_CONNECTION") == nullptr);
}

void ProtocolTest::probeFrame() {
    QCOMPARE(toHex(tolvane::probeFrame()), keypadData().probe);
}

// Rules the fixed frames do not exercise: wrap-around, every escape value, and the size limit.
void ProtocolTest::encoderRules() {
    const Bytes escapes{0x0E, 0x13, 0x1B, 0x01, 0x11};
    QCOMPARE(toHex(encodeFrame(escapes)), std::string("01 06 1B 8E 1B 93 1B 9B 01 11 54 0E"));
    const Bytes wraps{0xFF, 0xFF};
    QCOMPARE(toHex(encodeFrame(wraps)), std::string("01 03 FF FF 01 0E"));
    QCOMPARE(toHex(encodeFrame(Bytes{})), std::string("01 01 01 0E"));
    QCOMPARE(encodeFrame(Bytes(kMaxPayload, 0x00)).size(), kMaxPayload + 4);
    QVERIFY_THROWS_EXCEPTION(std::length_error, encodeFrame(Bytes(kMaxPayload + 1, 0x00)));
}

void ProtocolTest::closeKeyNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("close");  // empty: no name is close
    QTest::newRow("one edit") << "volumx"
                              << "volume";
    QTest::newRow("control name") << "mPowr_on"
                                  << "mPower_on";
    QTest::newRow("any case") << "VOLUMEE"
                              << "volume";
    QTest::newRow("two edits") << "exti"
                               << "exit";
    QTest::newRow("shared start") << "pow"
                                  << "power-on";
    QTest::newRow("shared start, long") << "standby"
                                        << "standby-on";
    QTest::newRow("nothing alike") << "xyz"
                                   << "";
    QTest::newRow("too short to judge") << "x"
                                        << "";
    QTest::newRow("more edits than half") << "ab"
                                          << "";
    QTest::newRow("empty") << ""
                           << "";
}

// Only a name that is close is suggested; one that is nothing like any gets no suggestion.
void ProtocolTest::closeKeyNames() {
    QFETCH(QString, name);
    QFETCH(QString, close);
    const auto got = closeKeyName(name.toStdString());
    QCOMPARE(got ? QString::fromStdString(std::string(*got)) : QString(), close);
}

QTEST_APPLESS_MAIN(ProtocolTest)
#include "test_protocol.moc"
