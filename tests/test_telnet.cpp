#include <QTest>

#include "keypad_data.h"
#include "protocol/hex_text.h"
#include "transport/telnet.h"

using namespace tolvane;
using namespace tolvane::testing;
using Kind = TelnetEvent::Kind;

namespace {

Bytes bytesOf(const char* hex) {
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

// "WILL 44", "SB 44 65 00 00 25 80", ... one event a line.
QString describe(const std::vector<TelnetEvent>& events) {
    QStringList lines;
    for (const TelnetEvent& e : events) {
        switch (e.kind) {
            case Kind::Negotiation: {
                static const char* names[] = {"WILL", "WONT", "DO", "DONT"};
                lines
                    << QStringLiteral("%1 %2").arg(names[e.command - telnet::kWill]).arg(e.option);
                break;
            }
            case Kind::Subnegotiation:
                lines << QStringLiteral("SB %1 %2")
                             .arg(e.option)
                             .arg(QString::fromStdString(toHex(e.payload)));
                break;
            case Kind::Overlong:
                lines << QStringLiteral("OVERLONG %1").arg(e.option);
                break;
            case Kind::Command:
                lines << QStringLiteral("CMD %1").arg(e.command);
                break;
        }
    }
    return lines.join(';');
}

}  // namespace

class TelnetTest : public QObject {
    Q_OBJECT

  private slots:
    void decode_data();
    void decode();
    void overlongSubnegotiationKeepsNothing();
    void everyKeyFrameCrossesTelnetWhole();
    void negotiation_data();
    void negotiation();
};

void TelnetTest::decode_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("events");
    QTest::newRow("plain") << QByteArray("010203") << "01 02 03"
                           << "";
    QTest::newRow("a reply of FF is one byte") << QByteArray("FFFF") << "FF"
                                               << "";
    QTest::newRow("doubled FF amid data") << QByteArray("01FFFF02FFFF") << "01 FF 02 FF"
                                          << "";
    QTest::newRow("negotiation amid data") << QByteArray("41FFFB2C42FFFE0143") << "41 42 43"
                                           << "WILL 44;DONT 1";
    QTest::newRow("confirmation with a doubled FF")
        << QByteArray("FFFA2C6500FFFFFFFFFFF043") << "43"
        << "SB 44 65 00 FF FF";
    QTest::newRow("two-byte commands") << QByteArray("FFF144FFF6") << "44"
                                       << "CMD 241;CMD 246";
    QTest::newRow("a command inside a subnegotiation ends it")
        << QByteArray("FFFA2C01FFFD0045") << "45"
        << "SB 44 01;DO 0";
    QTest::newRow("empty subnegotiation") << QByteArray("FFFA18FFF0") << ""
                                          << "SB 24 ";
    QTest::newRow("cut after IAC") << QByteArray("41FF") << "41"
                                   << "";
    QTest::newRow("cut inside a subnegotiation") << QByteArray("FFFA2C650000") << ""
                                                 << "";
}

void TelnetTest::decode() {
    QFETCH(QByteArray, stream);
    QFETCH(QString, data);
    QFETCH(QString, events);
    const Bytes input = bytesOf(stream.constData());
    // Whole, byte by byte, and split at every point: the chunking never changes the result.
    for (std::size_t split = 0; split <= input.size(); ++split) {
        for (std::size_t step : {input.size() + 1, std::size_t(1)}) {
            TelnetDecoder decoder;
            Bytes out;
            std::vector<TelnetEvent> seen;
            const std::span<const std::uint8_t> all(input);
            decoder.feed(all.first(split), out, seen);
            for (std::size_t at = split; at < input.size(); at += step)
                decoder.feed(all.subspan(at, std::min(step, input.size() - at)), out, seen);
            QCOMPARE(QString::fromStdString(toHex(out)), data);
            QCOMPARE(describe(seen), events);
        }
    }
}

void TelnetTest::overlongSubnegotiationKeepsNothing() {
    TelnetDecoder decoder;
    Bytes data;
    std::vector<TelnetEvent> events;
    decoder.feed(bytesOf("FFFA2C"), data, events);
    const Bytes flood(1 << 20, 0x41);
    for (int i = 0; i < 8; ++i) decoder.feed(flood, data, events);
    decoder.feed(bytesOf("FFF0FFFFFFFA2C65FFF0"), data, events);
    QCOMPARE(QString::fromStdString(toHex(data)), QString("FF"));
    QCOMPARE(describe(events), QString("OVERLONG 44;SB 44 65"));
    QVERIFY(events[0].payload.empty());
}

void TelnetTest::everyKeyFrameCrossesTelnetWhole() {
    for (const ExpectedControl& key : keypadData().keys()) {
        for (const std::string& frame : {key.leadIn, key.keyFrame}) {
            const Bytes bytes =
                bytesOf(QByteArray::fromStdString(frame).replace(' ', "").constData());
            const Bytes wire = escapeTelnetData(bytes);
            QCOMPARE(wire.size(),
                     bytes.size() + std::size_t(std::count(bytes.begin(), bytes.end(), 0xFF)));
            TelnetDecoder decoder;
            Bytes back;
            std::vector<TelnetEvent> events;
            decoder.feed(wire, back, events);
            QCOMPARE(toHex(back), frame);
            QVERIFY(events.empty());
        }
    }
}

void TelnetTest::negotiation_data() {
    QTest::addColumn<uint>("baud");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("status");
    using S = ComPortClient::Status;
    const QByteArray settings9600 =
        "FFFA2C0100002580FFF0FFFA2C0208FFF0FFFA2C0301FFF0FFFA2C0401FFF0FFFA2C0501FFF0";
    const QByteArray confirmations =
        "FFFA2C6500002580FFF0FFFA2C6608FFF0FFFA2C6701FFF0FFFA2C6801FFF0FFFA2C6901FFF0";
    QTest::newRow("nothing said yet")
        << 9600u << QByteArray() << QByteArray() << int(S::Negotiating);
    QTest::newRow("agreed, not confirmed")
        << 9600u << QByteArray("FFFD2C") << settings9600 << int(S::Negotiating);
    QTest::newRow("agreed and confirmed")
        << 9600u << "FFFD2C" + confirmations << settings9600 << int(S::Ready);
    QTest::newRow("four of five confirmed")
        << 9600u << "FFFD2C" + confirmations.left(confirmations.size() - 18) << settings9600
        << int(S::Negotiating);
    QTest::newRow("agreement repeated: settings sent once")
        << 9600u << QByteArray("FFFD2CFFFD2CFFFD2C") << settings9600 << int(S::Negotiating);
    // A server that sets another value than the one asked has not set the projector's line.
    QTest::newRow("confirmed 115200 for 9600")
        << 9600u
        << "FFFD2C" + QByteArray(confirmations).replace("FFFA2C6500002580", "FFFA2C650001C200")
        << settings9600 << int(S::Refused);
    QTest::newRow("confirmed even parity for none")
        << 9600u << "FFFD2C" + QByteArray(confirmations).replace("FFFA2C6701", "FFFA2C6703")
        << settings9600 << int(S::Refused);
    QTest::newRow("refused") << 9600u << QByteArray("FFFE2C") << QByteArray("FFFC2C")
                             << int(S::Refused);
    QTest::newRow("other options declined, known ones not asked twice")
        << 9600u << QByteArray("FFFD18FFFB01FFFB00FFFC00FFFC00FFFE03FFFD03")
        << QByteArray("FFFC18FFFE01FFFE00FFFC03FFFB03") << int(S::Negotiating);
    QTest::newRow("a refusal is said once however often asked")
        << 9600u << QByteArray("FFFB01FFFD18FFFB01FFFD18FFFB01FFFD18") << QByteArray("FFFE01FFFC18")
        << int(S::Negotiating);
    QTest::newRow("a server toggling an option gets a bounded number of answers")
        << 9600u << QByteArray("FFFC00FFFB00").repeated(2000)
        << QByteArray("FFFE00FFFD00").repeated(682) + "FFFE00" << int(S::Negotiating);
    QTest::newRow("a baud rate with FF in it is escaped")
        << 0x0001FFFFu << QByteArray("FFFD2C") << "FFFA2C010001FFFFFFFFFFF0" + settings9600.mid(20)
        << int(S::Negotiating);
}

void TelnetTest::negotiation() {
    QFETCH(uint, baud);
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    LineSettings line;
    line.baud = baud;
    ComPortClient client(line);
    QCOMPARE(QString::fromStdString(toHex(client.start())),
             QString("FF FB 2C FF FB 00 FF FB 03 FF FD 00 FF FD 03"));
    TelnetDecoder decoder;
    Bytes data, answers;
    std::vector<TelnetEvent> events;
    decoder.feed(bytesOf(server.constData()), data, events);
    for (const TelnetEvent& event : events) {
        const Bytes said = client.onEvent(event);
        answers.insert(answers.end(), said.begin(), said.end());
    }
    QCOMPARE(QString::fromStdString(toHex(answers)),
             QString::fromStdString(toHex(bytesOf(answer.constData()))));
    QCOMPARE(int(client.status()), status);
    QVERIFY(data.empty());
}

QTEST_GUILESS_MAIN(TelnetTest)
#include "test_telnet.moc"
