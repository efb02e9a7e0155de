#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "projector/frame_decoder.h"

using namespace tolvane;
using namespace tolvane::testing;
using Kind = DecodedPiece::Kind;
using Texts = std::vector<std::string>;

namespace {

// Every frame of the key table: each lead-in frame once, then each key's frame. The bytes come
// from the tests' data file, copied from the table.
struct TableFrame {
    std::string name;
    std::uint8_t payload1;
    std::uint8_t code;  // 0x30 for the lead-in frames
    std::string wire;
};

const std::vector<TableFrame>& tableFrames() {
    static const std::vector<TableFrame> frames = [] {
        std::vector<TableFrame> leadIns, keys;
        for (const ExpectedControl& key : keypadData().keys()) {
            keys.push_back({key.name.toStdString(), key.payload1, key.code, key.keyFrame});
            if (std::none_of(leadIns.begin(), leadIns.end(),
                             [&](const TableFrame& f) { return f.wire == key.leadIn; }))
                leadIns.push_back(
                    {"lead-in " + toHex(std::array{key.payload1}), key.payload1, 0x30, key.leadIn});
        }
        leadIns.insert(leadIns.end(), keys.begin(), keys.end());
        return leadIns;
    }();
    return frames;
}

const TableFrame& randomTableFrame(QRandomGenerator& random) {
    return tableFrames()[std::size_t(random.bounded(int(tableFrames().size())))];
}

const std::string kProbe = keypadData().probe;
const std::string kVolume = keypadData().control("mVolume").keyFrame;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "kind hex", with the covered size when the verdict kept only a prefix.
std::string describe(const DecodedPiece& piece) {
    std::string text = std::string(kindName(piece.kind)) + ' ' + toHex(piece.wire);
    if (piece.size != piece.wire.size()) text += " (" + std::to_string(piece.size) + " bytes)";
    return text;
}

enum class Chunking { Whole, ByteByByte, Random };

// Decodes the whole stream, checking the memory bound after every chunk.
struct Decoding {
    std::vector<DecodedPiece> pieces;
    std::size_t covered = 0;
    bool boundKept = true;
    std::size_t maxHeld = 0;
};

Decoding decode(const Bytes& stream, Chunking chunking, quint32 seed = 1, bool finish = true) {
    Decoding out;
    FrameDecoder decoder;
    auto sink = [&out](const DecodedPiece& piece) {
        out.covered += piece.size;
        out.pieces.push_back(piece);
    };
    QRandomGenerator random(seed);
    for (std::size_t at = 0; at < stream.size();) {
        std::size_t n = stream.size() - at;
        if (chunking == Chunking::ByteByByte) n = 1;
        if (chunking == Chunking::Random) n = std::min<std::size_t>(n, random.bounded(1, 40));
        decoder.feed(std::span(stream).subspan(at, n), sink);
        at += n;
        out.boundKept = out.boundKept && decoder.held() <= FrameDecoder::kMaxHeld;
    }
    if (finish) {
        decoder.finish(sink);
        out.boundKept = out.boundKept && decoder.idle();
    }
    out.maxHeld = decoder.maxHeld();
    out.boundKept = out.boundKept && out.maxHeld <= FrameDecoder::kMaxHeld;
    return out;
}

Texts texts(const std::vector<DecodedPiece>& pieces) {
    Texts out;
    for (const DecodedPiece& piece : pieces) out.push_back(describe(piece));
    return out;
}

// Decodes whole, byte by byte and in random chunks; all must agree and cover every byte.
Texts decodeEveryWay(const Bytes& stream, bool finish = true) {
    const Decoding whole = decode(stream, Chunking::Whole, 1, finish);
    const Texts expected = texts(whole.pieces);
    std::vector<Decoding> others{decode(stream, Chunking::ByteByByte, 1, finish)};
    for (quint32 seed = 1; seed <= 4; ++seed)
        others.push_back(decode(stream, Chunking::Random, seed, finish));
    others.push_back(whole);
    for (const Decoding& other : others) {
        if (texts(other.pieces) != expected) return {"chunking changed the result"};
        if (!other.boundKept) return {"memory bound broken"};
        if (finish && other.covered != stream.size()) return {"pieces do not cover the stream"};
    }
    return expected;
}

Texts decodeEveryWay(const std::string& hex) {
    return decodeEveryWay(parseHex(hex));
}

}  // namespace

class FrameDecoderTest : public QObject {
    Q_OBJECT

  private slots:
    void tableFrame_data();
    void tableFrame();
    void formatEdges_data();
    void formatEdges();
    void corruptStreams_data();
    void corruptStreams();
    void truncatedStreams();
    void resyncAfterGarbage();
    void verdictKeepsOnlyAPrefix();
    void memoryBoundUnderHostileInput();
    void hugeStream();
};

void FrameDecoderTest::tableFrame_data() {
    QTest::addColumn<QString>("wire");
    QTest::addColumn<QString>("payload");
    for (const TableFrame& row : tableFrames())
        QTest::newRow(row.name.c_str())
            << QString::fromStdString(row.wire)
            << QString::asprintf("%02X 00 13 FF 63 %02X 24", row.payload1, row.code);
    QTest::newRow("probe") << QString::fromStdString(kProbe) << "00 00 10 00 81";
}

void FrameDecoderTest::tableFrame() {
    QFETCH(QString, wire);
    QFETCH(QString, payload);
    const Bytes bytes = parseHex(wire.toStdString());
    for (Chunking chunking : {Chunking::Whole, Chunking::ByteByByte, Chunking::Random}) {
        for (quint32 seed = 1; seed <= 3; ++seed) {
            const Decoding d = decode(bytes + bytes, chunking, seed, false);
            QCOMPARE(d.pieces.size(), std::size_t{2});
            for (const DecodedPiece& piece : d.pieces) {
                QVERIFY(piece.kind == Kind::Frame);
                QCOMPARE(toHex(piece.wire), wire.toStdString());
                QCOMPARE(toHex(piece.payload), payload.toStdString());
                QCOMPARE(piece.size, bytes.size());
            }
            // A whole frame leaves nothing behind, not even for finish() to report.
            QVERIFY(d.boundKept);
        }
    }
}

// Frames that ours never are but the format allows.
void FrameDecoderTest::formatEdges_data() {
    QTest::addColumn<QString>("wire");
    QTest::addColumn<QString>("payload");
    QTest::newRow("empty payload") << "01 01 01 0E"
                                   << "";
    QTest::newRow("start byte value in the payload") << "01 04 01 11 01 17 0E"
                                                     << "01 11 01";
    QTest::newRow("checksum equal to the end byte") << "01 02 0C 0E 0E"
                                                    << "0C";
    QTest::newRow("checksum equal to the start byte") << "01 02 FF 01 0E"
                                                      << "FF";
    QTest::newRow("length byte equal to the end byte")
        << "01 0E 00 00 00 00 00 00 00 00 00 00 00 00 00 0E 0E"
        << "00 00 00 00 00 00 00 00 00 00 00 00 00";
    QTest::newRow("length byte equal to the escape byte")
        << "01 1B " + QString("00 ").repeated(26) + "1B 0E"
        << QString("00 ").repeated(26).trimmed();
    QTest::newRow("every escape") << "01 04 1B 8E 1B 93 1B 9B 40 0E"
                                  << "0E 13 1B";
    // The longest frame: 254 escaped bytes, 512 on the wire.
    const QString escaped = QString("1B 9B ").repeated(254);
    QTest::newRow("longest frame")
        << "01 FF " + escaped + "C9 0E" << QString("1B ").repeated(254).trimmed();
}

void FrameDecoderTest::formatEdges() {
    QFETCH(QString, wire);
    QFETCH(QString, payload);
    const Bytes bytes = parseHex(wire.toStdString());
    QVERIFY(bytes.size() <= kMaxFrameWire);
    for (Chunking chunking : {Chunking::Whole, Chunking::ByteByByte, Chunking::Random}) {
        const Decoding d = decode(bytes + parseHex(kProbe), chunking);
        QCOMPARE(d.pieces.size(), std::size_t{2});
        QVERIFY(d.pieces[0].kind == Kind::Frame);
        QCOMPARE(toHex(d.pieces[0].payload), payload.toStdString());
        QCOMPARE(d.pieces[0].wire, bytes);
        QCOMPARE(describe(d.pieces[1]), std::string("frame ") + kProbe);
    }
}

void FrameDecoderTest::corruptStreams_data() {
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QStringList>("pieces");
    const QString probe = QString::fromStdString(kProbe);
    const QString volume = QString::fromStdString(kVolume);
    const QString probeFrame = "frame " + probe;
    auto row = [](const char* name, const QString& stream, const QStringList& pieces) {
        QTest::newRow(name) << stream << pieces;
    };
    row("bad checksum", "01 08 B0 00 1B 93 FF 63 1A 24 6C 0E " + probe,
        {"checksum 01 08 B0 00 1B 93 FF 63 1A 24 6C 0E", probeFrame});
    row("escape to a value outside the set", "01 08 B0 00 1B 13 FF 63 1A 24 6B 0E " + probe,
        {"escape 01 08 B0 00 1B 13 FF 63 1A 24 6B 0E", probeFrame});
    row("escape of a plain value", "01 08 B0 00 1B 93 FF 63 1B A4 24 6C 0E " + probe,
        {"escape 01 08 B0 00 1B 93 FF 63 1B A4 24 6C 0E", probeFrame});
    row("13 sent unescaped", "01 08 B0 00 13 FF 63 1A 24 6B 0E " + probe,
        {"escape 01 08 B0 00 13 FF 63 1A 24 6B 0E", probeFrame});
    row("escape cut short by the end byte", "01 08 B0 00 1B 0E " + probe,
        {"escape 01 08 B0 00 1B 0E", probeFrame});
    row("length byte too small", "01 07 B0 00 1B 93 FF 63 1A 24 6B 0E " + probe,
        {"length 01 07 B0 00 1B 93 FF 63 1A 24 6B 0E", probeFrame});
    row("length byte one too large", "01 09 B0 00 1B 93 FF 63 1A 24 6B 0E " + probe,
        {"length 01 09 B0 00 1B 93 FF 63 1A 24 6B 0E", probeFrame});
    row("length byte two too large", "01 0A B0 00 1B 93 FF 63 1A 24 6B 0E " + probe,
        {"length 01 0A B0 00 1B 93 FF 63 1A 24 6B 0E", probeFrame});
    row("length byte zero", "01 00 " + probe, {"length 01 00", probeFrame});
    row("end byte replaced", "01 08 B0 00 1B 93 FF 63 1A 24 6B 99 " + probe,
        {"missing-end 01 08 B0 00 1B 93 FF 63 1A 24 6B 99", probeFrame});
    row("end byte dropped", "01 08 B0 00 1B 93 FF 63 1A 24 6B " + probe,
        {"missing-end 01 08 B0 00 1B 93 FF 63 1A 24 6B", probeFrame});
    row("end byte dropped, then garbage", "01 06 00 00 10 00 81 97 AA BB CC " + probe,
        {"missing-end 01 06 00 00 10 00 81 97 AA BB CC", probeFrame});
    row("cut short by the next frame", "01 08 B0 00 1B 93 " + volume,
        {"truncated 01 08 B0 00 1B 93", "frame " + volume});
    // The cut-short frame's length ends it exactly on the next frame's end byte.
    row("cut short, the next frame inside its length", "01 0A " + volume,
        {"truncated 01 0A", "frame " + volume});
    row("lone start byte between frames", probe + " 01 " + probe,
        {probeFrame, "truncated 01", probeFrame});
    row("garbage before a frame", "FF 0E 1B 93 00 " + probe, {"stray FF 0E 1B 93 00", probeFrame});
    row("garbage between frames", probe + " 0E 0E 13 " + volume,
        {probeFrame, "stray 0E 0E 13", "frame " + volume});
    row("garbage at the end", probe + " AA", {probeFrame, "stray AA"});
    row("nothing but garbage", "0E", {"stray 0E"});
    row("nothing at all", "", {});
}

void FrameDecoderTest::corruptStreams() {
    QFETCH(QString, stream);
    QFETCH(QStringList, pieces);
    Texts expected;
    for (const QString& piece : pieces) expected.push_back(piece.toStdString());
    QCOMPARE(decodeEveryWay(stream.toStdString()), expected);
}

// Every proper prefix of a frame, at the end of the stream or followed by a good frame.
void FrameDecoderTest::truncatedStreams() {
    const auto& keys = keypadData();
    for (const std::string& wire :
         {keys.control("m8").keyFrame, keys.control("mPower_on").keyFrame, kProbe}) {
        const Bytes frame = parseHex(wire);
        for (std::size_t n = 1; n < frame.size(); ++n) {
            const Bytes prefix(frame.begin(), frame.begin() + std::ptrdiff_t(n));
            // All but the end byte is a frame without its end; anything shorter is cut short.
            const std::string kind = n == frame.size() - 1 ? "missing-end " : "truncated ";
            const std::string verdict = kind + toHex(prefix);
            QCOMPARE(decodeEveryWay(prefix), Texts{verdict});
            QCOMPARE(decodeEveryWay(prefix + parseHex(kVolume)),
                     (Texts{verdict, std::string("frame ") + kVolume}));
        }
    }
    // After finish() the decoder starts afresh.
    FrameDecoder decoder;
    Texts got;
    auto sink = [&got](const DecodedPiece& piece) { got.push_back(describe(piece)); };
    decoder.feed(parseHex("01 08 B0"), sink);
    QVERIFY(!decoder.idle());
    decoder.finish(sink);
    QVERIFY(decoder.idle());
    decoder.feed(parseHex(kProbe), sink);
    QCOMPARE(got, (Texts{"truncated 01 08 B0", std::string("frame ") + kProbe}));
}

// Garbage made of random bytes and cut-short frames never costs the frame after it.
void FrameDecoderTest::resyncAfterGarbage() {
    QRandomGenerator random(20240601);
    for (int round = 0; round < 300; ++round) {
        Bytes garbage;
        const int parts = random.bounded(1, 6);
        for (int p = 0; p < parts; ++p) {
            if (random.bounded(2) == 0) {
                const Bytes frame = parseHex(randomTableFrame(random).wire);
                garbage = garbage + Bytes(frame.begin(),
                                          frame.begin() + random.bounded(1, int(frame.size())));
            } else {
                for (int n = random.bounded(1, 20); n > 0; --n) {
                    std::uint8_t b = std::uint8_t(random.bounded(256));
                    garbage.push_back(b == kStartByte ? kEscapeByte : b);
                }
            }
        }
        const TableFrame& good = randomTableFrame(random);
        const Texts got = decodeEveryWay(garbage + parseHex(good.wire));
        QVERIFY(!got.empty());
        QCOMPARE(got.back(), std::string("frame ") + good.wire);
        for (std::size_t i = 0; i + 1 < got.size(); ++i)
            QVERIFY2(!got[i].starts_with("frame "), got[i].c_str());
    }
}

void FrameDecoderTest::verdictKeepsOnlyAPrefix() {
    const Bytes garbage(1000, 0x55);
    const Decoding stray = decode(garbage + parseHex(kProbe), Chunking::Random);
    QCOMPARE(stray.pieces.size(), std::size_t{2});
    QVERIFY(stray.pieces[0].kind == Kind::Stray);
    QCOMPARE(stray.pieces[0].size, std::size_t{1000});
    QCOMPARE(stray.pieces[0].wire, Bytes(kMaxVerdictBytes, 0x55));

    // A frame whose length promises 254 bytes, then more than that before an end byte.
    const Bytes broken = parseHex("01 FF") + Bytes(300, 0xAA) + parseHex("0E");
    const Decoding d = decode(broken + parseHex(kProbe), Chunking::Random);
    QCOMPARE(texts(d.pieces),
             (Texts{"length 01 FF " + toHex(Bytes(kMaxVerdictBytes - 2, 0xAA)) + " (303 bytes)",
                    std::string("frame ") + kProbe}));
}

// Inputs built to make the decoder hold as much as it can, for as long as it can.
void FrameDecoderTest::memoryBoundUnderHostileInput() {
    QRandomGenerator random(7);
    std::vector<std::pair<const char*, Bytes>> streams;
    Bytes alphabet;
    for (int i = 0; i < 100000; ++i) {
        static constexpr std::uint8_t kBytes[] = {0x01, 0x0E, 0x1B, 0x8E, 0xFF, 0x00, 0x13};
        alphabet.push_back(kBytes[random.bounded(int(std::size(kBytes)))]);
    }
    streams.emplace_back("frame bytes at random", alphabet);
    // Built in place: appending by copies would take seconds under the sanitizers.
    auto append = [](Bytes& to, const Bytes& more) {
        to.insert(to.end(), more.begin(), more.end());
    };
    Bytes longest;
    for (int i = 0; i < 200; ++i) {
        append(longest, parseHex("01 FF"));
        for (int j = 0; j < 300; ++j) append(longest, parseHex("1B 8E"));
    }
    streams.emplace_back("longest frames without end", longest);
    Bytes noEnd;
    for (int i = 0; i < 200; ++i) {
        append(noEnd, parseHex("01 FF"));
        append(noEnd, Bytes(1000, 0x42));
    }
    streams.emplace_back("long runs after a start", noEnd);

    for (const auto& [name, stream] : streams) {
        for (Chunking chunking : {Chunking::ByteByByte, Chunking::Random, Chunking::Whole}) {
            const Decoding d = decode(stream, chunking);
            QVERIFY2(d.boundKept, name);
            QCOMPARE(d.covered, stream.size());
            qInfo("%s: held at most %zu bytes (bound %zu)", name, d.maxHeld,
                  FrameDecoder::kMaxHeld);
        }
    }
    // The bound is reached, so the check above had something to check.
    QCOMPARE(decode(longest, Chunking::Random).maxHeld, FrameDecoder::kMaxHeld);
}

void FrameDecoderTest::hugeStream() {
    Bytes round;
    std::size_t framesPerRound = 0;
    for (const TableFrame& row : tableFrames()) {
        round = round + parseHex(row.wire);
        ++framesPerRound;
    }
    round = round + Bytes(100, 0x7F);
    constexpr std::size_t kRounds = 2500;
    Bytes stream;
    stream.reserve(round.size() * kRounds);
    for (std::size_t i = 0; i < kRounds; ++i)
        stream.insert(stream.end(), round.begin(), round.end());

    FrameDecoder decoder;
    std::size_t frames = 0, strays = 0, others = 0, covered = 0;
    auto sink = [&](const DecodedPiece& piece) {
        covered += piece.size;
        if (piece.kind == Kind::Frame)
            ++frames;
        else if (piece.kind == Kind::Stray && piece.size == 100)
            ++strays;
        else
            ++others;
    };
    QElapsedTimer timer;
    timer.start();
    bool bounded = true;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
        decoder.feed(std::span(stream).subspan(at, std::min<std::size_t>(4096, stream.size() - at)),
                     sink);
        bounded = bounded && decoder.held() <= FrameDecoder::kMaxHeld;
    }
    decoder.finish(sink);
    const qint64 ms = timer.elapsed();
    qInfo("decoded %zu bytes in %lld ms", stream.size(), qlonglong(ms));
    QVERIFY(bounded);
    QVERIFY(decoder.maxHeld() <= FrameDecoder::kMaxHeld);
    QCOMPARE(frames, framesPerRound * kRounds);
    QCOMPARE(strays, kRounds);
    QCOMPARE(others, std::size_t{0});
    QCOMPARE(covered, stream.size());
}

QTEST_APPLESS_MAIN(FrameDecoderTest)
#include "test_frame_decoder.moc"
