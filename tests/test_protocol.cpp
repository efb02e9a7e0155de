#include <QTest>
#include <set>

#include "fake_serial_layer.h"
#include "protocol/frame.h"
#include "protocol/key_table.h"
#include "serial/port_manager.h"

using namespace tolvane;
using tolvane::testing::FakeSerialLayer;
using tolvane::testing::hexBytes;

namespace {
constexpr const char* kCommonLeadIn = "01 08 B0 00 1B 93 FF 63 30 24 81 0E";
constexpr const char* kPowerOnLeadIn = "01 08 80 00 1B 93 FF 63 30 24 51 0E";
}  // namespace

class ProtocolTest : public QObject {
    Q_OBJECT

private slots:
    void keyPress_data();
    void keyPress();
    void tableCoversEveryKeyOnce();
    void probeFrame();
    void encoderRules();
};

// Wire bytes copied from the key command table, not recomputed.
void ProtocolTest::keyPress_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("keyFrame");
    auto row = [](const char* control, const char* frame) {
        QTest::newRow(control) << QString(control) << QString(frame);
    };
    row("m0", "01 08 B0 00 1B 93 FF 63 08 24 59 0E");
    row("m1", "01 08 B0 00 1B 93 FF 63 0A 24 5B 0E");
    row("m2", "01 08 B0 00 1B 93 FF 63 3A 24 8B 0E");
    row("m3", "01 08 B0 00 1B 93 FF 63 12 24 63 0E");
    row("m4", "01 08 B0 00 1B 93 FF 63 27 24 78 0E");
    row("m5", "01 08 B0 00 1B 93 FF 63 17 24 68 0E");
    row("m6", "01 08 B0 00 1B 93 FF 63 3F 24 90 0E");
    row("m7", "01 08 B0 00 1B 93 FF 63 2B 24 7C 0E");
    row("m8", "01 08 B0 00 1B 93 FF 63 1B 9B 24 6C 0E");
    row("m9", "01 08 B0 00 1B 93 FF 63 33 24 84 0E");
    row("mArrow_down", "01 08 B0 00 1B 93 FF 63 31 24 82 0E");
    row("mArrow_left", "01 08 B0 00 1B 93 FF 63 0D 24 5E 0E");
    row("mArrow_right", "01 08 B0 00 1B 93 FF 63 15 24 66 0E");
    row("mArrow_up", "01 08 B0 00 1B 93 FF 63 37 24 88 0E");
    row("mAsterick", "01 08 B0 00 1B 93 FF 63 34 24 85 0E");
    row("mBrite", "01 08 B0 00 1B 93 FF 63 32 24 83 0E");
    row("mColour", "01 08 B0 00 1B 93 FF 63 1B 8E 24 5F 0E");
    row("mContrast", "01 08 B0 00 1B 93 FF 63 02 24 53 0E");
    row("mConv", "01 08 B0 00 1B 93 FF 63 2A 24 7B 0E");
    row("mDetail", "01 08 B0 00 1B 93 FF 63 16 24 67 0E");
    row("mEnter", "01 08 B0 00 1B 93 FF 63 0B 24 5C 0E");
    row("mExit", "01 08 B0 00 1B 93 FF 63 23 24 74 0E");
    row("mGeom", "01 08 B0 00 1B 93 FF 63 26 24 77 0E");
    row("mHelp", "01 08 B0 00 1B 93 FF 63 0F 24 60 0E");
    row("mMute", "01 08 B0 00 1B 93 FF 63 38 24 89 0E");
    row("mPic", "01 08 B0 00 1B 93 FF 63 2C 24 7D 0E");
    row("mPound", "01 08 B0 00 1B 93 FF 63 03 24 54 0E");
    row("mPower_off", "01 08 B0 00 1B 93 FF 63 14 24 65 0E");
    row("mPower_on", "01 08 80 00 1B 93 FF 63 24 24 45 0E");
    row("mRecall", "01 08 B0 00 1B 93 FF 63 22 24 73 0E");
    row("mSource", "01 08 B0 00 1B 93 FF 63 2D 24 7E 0E");
    row("mStandby_off", "01 08 B0 00 1B 93 FF 63 0C 24 5D 0E");
    row("mStandby_on", "01 08 B0 00 1B 93 FF 63 3C 24 8D 0E");
    row("mTint", "01 08 B0 00 1B 93 FF 63 3E 24 8F 0E");
    row("mUtil", "01 08 B0 00 1B 93 FF 63 1C 24 6D 0E");
    row("mVolume", "01 08 B0 00 1B 93 FF 63 1A 24 6B 0E");
}

// A press is exactly two writes: the lead-in frame, then the key frame.
void ProtocolTest::keyPress() {
    QFETCH(QString, control);
    QFETCH(QString, keyFrame);
    const KeyCommand* key = findKey(control.toStdString());
    QVERIFY(key);
    FakeSerialLayer port;
    port.PortOpen(true);
    port.transcript.clear();
    sendKey(port, *key);
    const std::string leadIn = control == "mPower_on" ? kPowerOnLeadIn : kCommonLeadIn;
    const std::vector<std::string> expected{"Output " + leadIn, "Output " + keyFrame.toStdString()};
    QCOMPARE(port.transcript, expected);
    // Pressing again sends the identical bytes.
    sendKey(port, *key);
    QCOMPARE(port.written.at(2), port.written.at(0));
    QCOMPARE(port.written.at(3), port.written.at(1));
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
    QCOMPARE(hexBytes(tolvane::probeFrame()), std::string("01 06 00 00 10 00 81 97 0E"));
}

// Rules the fixed frames do not exercise: wrap-around, every escape value, and the size limit.
void ProtocolTest::encoderRules() {
    const Bytes escapes{0x0E, 0x13, 0x1B, 0x01, 0x11};
    QCOMPARE(hexBytes(encodeFrame(escapes)), std::string("01 06 1B 8E 1B 93 1B 9B 01 11 54 0E"));
    const Bytes wraps{0xFF, 0xFF};
    QCOMPARE(hexBytes(encodeFrame(wraps)), std::string("01 03 FF FF 01 0E"));
    QCOMPARE(hexBytes(encodeFrame(Bytes{})), std::string("01 01 01 0E"));
    QCOMPARE(encodeFrame(Bytes(kMaxPayload, 0x00)).size(), kMaxPayload + 4);
    QVERIFY_THROWS_EXCEPTION(std::length_error, encodeFrame(Bytes(kMaxPayload + 1, 0x00)));
}

QTEST_APPLESS_MAIN(ProtocolTest)
#include "test_protocol.moc"
