#include <QElapsedTimer>
#include <QTest>

#include "bus/key_list.h"
#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "protocol/key_table.h"
#include "serial/messages.h"
#include "serial/quiet_check.h"

using namespace tolvane;
using namespace tolvane::testing;

using Result = QuietCheck::Result;
Q_DECLARE_METATYPE(Result)

class TestBus : public QObject {
    Q_OBJECT

  private slots:
    void quietCheck_data();
    void quietCheck();
    void keyNames_data();
    void keyNames();
};

void TestBus::quietCheck_data() {
    QTest::addColumn<int>("replyAtMs");      // a reply byte arrives then; -1 never
    QTest::addColumn<int>("interruptAtMs");  // Check Connection is clicked then; -1 never
    QTest::addColumn<int>("writesAllowed");  // -1 all
    QTest::addColumn<bool>("readsFail");     // once the probe is out
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("message");

    const QString none;
    const QString write = QString::fromLatin1(kWriteFailedMessage.data());
    const QString read = QString::fromLatin1(kReadFailedMessage.data());
    QTest::newRow("reply") << 150 << -1 << -1 << false << Result::Responding << none;
    QTest::newRow("silence") << -1 << -1 << -1 << false << Result::NotResponding << none;
    QTest::newRow("reply too late") << 1300 << -1 << -1 << false << Result::NotResponding << none;
    QTest::newRow("probe refused") << -1 << -1 << 0 << false << Result::Failed << write;
    QTest::newRow("port gone") << -1 << -1 << -1 << true << Result::Failed << read;
    QTest::newRow("click before a reply")
        << -1 << 200 << -1 << false << Result::Interrupted << "clicked";
    // The reply is there, not yet looked at, when the click comes: it still counts.
    QTest::newRow("click after a reply") << 200 << 200 << -1 << false << Result::Responding << none;
}

void TestBus::quietCheck() {
    QFETCH(int, replyAtMs);
    QFETCH(int, interruptAtMs);
    QFETCH(int, writesAllowed);
    QFETCH(bool, readsFail);
    QFETCH(Result, result);
    QFETCH(QString, message);

    FakeSerialLayer port;
    port.PortOpen(true);
    port.received = 3;  // left from before: not an answer
    port.writesBeforeFailure = writesAllowed;
    QuietCheck check(port);
    int calls = 0;
    Result got{};
    QString said;
    QElapsedTimer clock;
    clock.start();
    check.start([&](Result r, std::string_view text) {
        ++calls;
        got = r;
        said = QString::fromLatin1(text.data(), qsizetype(text.size()));
    });
    port.failReads = readsFail;
    if (replyAtMs >= 0)
        QTimer::singleShot(replyAtMs, [&] {
            port.received = 1;
            if (interruptAtMs == replyAtMs) check.interrupt("clicked");
        });
    if (interruptAtMs >= 0 && interruptAtMs != replyAtMs)
        QTimer::singleShot(interruptAtMs, [&] { check.interrupt("clicked"); });

    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(!check.waiting());
    QCOMPARE(got, result);
    QCOMPARE(said, message);
    if (writesAllowed != 0)
        QCOMPARE(QString::fromStdString(toHex(port.written.at(0))),
                 QString::fromStdString(keypadData().probe));
    if (result == Result::Responding) QCOMPARE(port.received, 0);  // the reply was taken
    // Not a moment before the second is over.
    if (result == Result::NotResponding)
        QVERIFY2(elapsed >= 1000, qPrintable(QString::number(elapsed)));
    QTest::qWait(1200);  // the timers are stopped: no second result
    QCOMPARE(calls, 1);
}

void TestBus::keyNames_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("controls");  // the rows' keys, or empty
    QTest::addColumn<QString>("refusal");

    QTest::newRow("plain, control, any case")
        << QStringList{"volume", "MUTE", "mPower_on", "Star"}
        << QStringList{"mVolume", "mMute", "mPower_on", "mAsterick"} << QString();
    QTest::newRow("none") << QStringList{} << QStringList{} << "no key given; nothing was sent";
    QTest::newRow("one unknown among known")
        << QStringList{"volume", "volumx", "mute"} << QStringList{}
        << "unknown key 'volumx' (nearest known: 'volume'); nothing was sent";
    QTest::newRow("bytes quoted") << QStringList{"up", QString::fromUtf8("\xC3\xA9\n\\")}
                                  << QStringList{} << "unknown key '\\xC3\\xA9\\x0A\\x5C'";
    QTest::newRow("long name cut short")
        << QStringList{QString(200, 'x')} << QStringList{} << "'" + QString(64, 'x') + "...'";
}

void TestBus::keyNames() {
    QFETCH(QStringList, names);
    QFETCH(QStringList, controls);
    QFETCH(QString, refusal);

    std::vector<std::string> given;
    for (const QString& name : names) given.push_back(name.toStdString());
    const auto rows = bus::keyRowsFor(given);
    if (refusal.isEmpty()) {
        QStringList got;
        for (const std::size_t row : std::get<std::vector<std::size_t>>(rows))
            got << QString::fromLatin1(kKeys.at(row).control.data(),
                                       qsizetype(kKeys.at(row).control.size()));
        QCOMPARE(got, controls);
        return;
    }
    const QString message = QString::fromStdString(std::get<std::string>(rows));
    QVERIFY2(message.contains(refusal), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestBus)
#include "test_bus.moc"
