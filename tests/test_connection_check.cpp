#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "modal_closer.h"
#include "pty_pair.h"
#include "serial/messages.h"
#include "transport/serial_layer.h"
#include "ui/frm_tolvane.h"
#include "ui/result_dialog.h"

using namespace tolvane;
using namespace tolvane::testing;
using namespace std::chrono_literals;

namespace {

// Where a Comm item points when a test has not pointed it at its own pseudo-terminal: no real
// port is ever opened, whatever the machine has.
constexpr const char* kNowhere = "/nonexistent/tolvane-test-port";

// Notes when and at what CPU cost the first result dialog appears on screen.
class ShowWatch : public QObject {
  public:
    ShowWatch() { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<ResultDialog*>(watched) &&
            elapsedMs < 0) {
            elapsedMs = clock.elapsed();
            cpu = processCpuTime() - cpuBefore;
        }
        return false;
    }
    void start() {
        clock.start();
        cpuBefore = processCpuTime();
    }
    QElapsedTimer clock;
    std::chrono::microseconds cpuBefore{}, cpu{};
    qint64 elapsedMs = -1;
};

// Accepts each result dialog as it is shown and notes its class. Unlike ModalCloser it runs no
// timer, so a waiting check sees no event but those of the panel itself.
class ResultCloser : public QObject {
  public:
    ResultCloser() { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* dialog = qobject_cast<ResultDialog*>(watched);
        if (dialog && event->type() == QEvent::Show) {
            seen << QString::fromLatin1(dialog->metaObject()->className());
            QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
        }
        return false;
    }
    QStringList seen;
};

const std::string kProbeOutput = "write " + keypadData().probe;

struct Panel {
    FakeSerialLayer* port;
    std::unique_ptr<frmTolvane> window;
    QPushButton* check() const { return window->button("CHECK_CONNECTION"); }
};

Panel makePanel() {
    auto port = std::make_unique<FakeSerialLayer>();
    FakeSerialLayer* raw = port.get();
    Panel p{raw, std::make_unique<frmTolvane>(std::move(port))};
    p.window->show();
    return p;
}

// Runs `action` after `delay` inside the check's wait.
void after(std::chrono::milliseconds delay, QObject* context, std::function<void()> action) {
    QTimer::singleShot(delay, context, std::move(action));
}

QStringList dialogsSeen(const ModalCloser& closer) {
    QStringList names;
    for (const auto& s : closer.seen) names << s.className;
    return names;
}

long count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

}  // namespace

class ConnectionCheckTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        for (const char* n : {"1", "2", "3", "4"}) qputenv(QByteArray("TOLVANE_COM") + n, kNowhere);
    }
    void answerInTime();
    void noAnswerTimesOutOnce();
    void countGrowingWithoutAnEventIsSeen();
    void tickAndBytesTogetherTimeOutWins();
    void secondClickGivesOneDialog();
    void keysAndPortSwitchesRunInsideTheWait();
    void closingTheWindowEndsTheWait();
    void failuresEndTheCheckWithOneMessage();
    void realPortAnswered();
    void realPortSilent();
    void realPortOnlyBytesAfterTheProbeAnswer();
    void realPortClickStormIsBounded();
};

void ConnectionCheckTest::answerInTime() {
    Panel p = makePanel();
    ModalCloser closer;
    after(200ms, p.window.get(), [&] { p.port->received = 3; });
    QElapsedTimer clock;
    clock.start();
    p.port->transcript.clear();
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QVERIFY(clock.elapsed() < 900);
    QCOMPARE(dialogsSeen(closer), QStringList{"CONNECTION"});
    QCOMPARE(closer.seen[0].text, QString("Projector is Responding."));
    QCOMPARE(p.port->transcript.at(0), std::string("discard"));
    QCOMPARE(p.port->transcript.at(1), kProbeOutput);
    QCOMPARE(p.port->transcript.back(), std::string("discard"));
    QCOMPARE(p.port->received, 0);
    QVERIFY(!p.window->Timer1.isActive());
}

void ConnectionCheckTest::noAnswerTimesOutOnce() {
    Panel p = makePanel();
    ModalCloser closer;
    QElapsedTimer clock;
    qint64 shownAfter = -1;
    closer.onOpen = [&](QWidget*) { shownAfter = clock.elapsed(); };
    clock.start();
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QCOMPARE(dialogsSeen(closer), QStringList{"frmconnect"});
    QVERIFY2(shownAfter >= 990 && shownAfter < 1500, qPrintable(QString::number(shownAfter)));
    QVERIFY(!p.window->Timer1.isActive());
    QCOMPARE(count(p.port->transcript, "discard"), 1L);  // before the probe only
    QTest::qWait(1200);                                  // nothing else follows
    QCOMPARE(closer.seen.size(), 1);
}

// A layer may count received bytes without raising an event; the wait still looks again within
// its bound, long before the time-out.
void ConnectionCheckTest::countGrowingWithoutAnEventIsSeen() {
    Panel p = makePanel();
    QTest::qWait(50);  // the window's own start-up events are over
    ResultCloser closer;
    p.port->quietBytes = 1;
    p.port->quietArrival = std::chrono::steady_clock::now() + 200ms;
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QCOMPARE(closer.seen, QStringList{"CONNECTION"});
    QVERIFY(p.port->quietSeen);
    const auto late = *p.port->quietSeen - p.port->quietArrival;
    // The bound is 20 ms; the rest is room for a busy machine, far below the 800 ms that a wait
    // for an event would take here.
    QVERIFY2(late < 100ms,
             qPrintable(QString::number(
                 std::chrono::duration_cast<std::chrono::milliseconds>(late).count())));
    QCOMPARE(p.port->received, 0);
}

// The tick is overdue when the bytes arrive: the pass runs the tick first, so the time-out is
// reported and the bytes stay for the next check.
void ConnectionCheckTest::tickAndBytesTogetherTimeOutWins() {
    Panel p = makePanel();
    ModalCloser closer;
    after(950ms, p.window.get(), [&] {
        QThread::msleep(150);
        QTimer::singleShot(0, p.window.get(), [&] { p.port->received = 1; });
    });
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QCOMPARE(dialogsSeen(closer), QStringList{"frmconnect"});
    QTRY_COMPARE(p.port->received, 1);
    QCOMPARE(count(p.port->transcript, "discard"), 1L);
}

void ConnectionCheckTest::secondClickGivesOneDialog() {
    for (bool answered : {false, true}) {
        Panel p = makePanel();
        ModalCloser closer;
        QElapsedTimer clock;
        qint64 shownAfter = -1;
        closer.onOpen = [&](QWidget*) { shownAfter = clock.elapsed(); };
        after(600ms, p.window.get(), [&] { QTest::mouseClick(p.check(), Qt::LeftButton); });
        if (answered) after(800ms, p.window.get(), [&] { p.port->received = 1; });
        clock.start();
        QTest::mouseClick(p.check(), Qt::LeftButton);
        // The second click does not restart the time-out, which would come at 1600 ms.
        QVERIFY2(shownAfter < 1500, qPrintable(QString::number(shownAfter)));
        QCOMPARE(count(p.port->transcript, kProbeOutput), 2L);
        QCOMPARE(dialogsSeen(closer), QStringList{answered ? "CONNECTION" : "frmconnect"});
        QVERIFY(!p.window->Timer1.isActive());
        QCOMPARE(count(p.port->transcript, "discard"), answered ? 3L : 2L);
    }
}

void ConnectionCheckTest::keysAndPortSwitchesRunInsideTheWait() {
    Panel p = makePanel();
    ModalCloser closer;
    after(100ms, p.window.get(),
          [&] { QTest::mouseClick(p.window->button("mMute"), Qt::LeftButton); });
    after(200ms, p.window.get(), [&] { p.window->Mnucom2->trigger(); });
    after(300ms, p.window.get(), [&] { p.port->received = 1; });
    p.port->transcript.clear();
    QTest::mouseClick(p.check(), Qt::LeftButton);
    auto& t = p.port->transcript;
    std::vector<std::string> writesAndOpens;
    std::copy_if(t.begin(), t.end(), std::back_inserter(writesAndOpens),
                 [](const std::string& line) { return line != "count" && line != "discard"; });
    const ExpectedControl& mute = keypadData().control("mMute");
    const std::vector<std::string> expected{kProbeOutput, "write " + mute.leadIn,
                                            "write " + mute.keyFrame, "close",
                                            "open fake device 2"};
    QCOMPARE(writesAndOpens, expected);
    QCOMPARE(dialogsSeen(closer), QStringList{"CONNECTION"});
    QCOMPARE(p.port->CommPort(), std::int16_t{2});
}

void ConnectionCheckTest::closingTheWindowEndsTheWait() {
    Panel p = makePanel();
    ModalCloser closer;
    // The window closes during the wait; a click still queued then comes after the close.
    after(100ms, p.window.get(), [&] {
        p.window->close();
        QTest::mouseClick(p.check(), Qt::LeftButton);
    });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QVERIFY(clock.elapsed() < 500);
    QVERIFY(closer.seen.isEmpty());
    QVERIFY(!p.window->Timer1.isActive());
    QCOMPARE(count(p.port->transcript, kProbeOutput), 1L);
    QTest::qWait(1100);
    QVERIFY(closer.seen.isEmpty());
}

void ConnectionCheckTest::failuresEndTheCheckWithOneMessage() {
    // The port vanishes under a waiting check (a failed switch leaves it closed).
    Panel p = makePanel();
    p.port->refusedPorts = {3};
    ModalCloser closer;
    after(100ms, p.window.get(), [&] { p.window->mnucom3->trigger(); });
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QCOMPARE(closer.seen.size(), 2);
    QCOMPARE(closer.seen[0].text, QString(kOpenFailedMessage.data()));
    QCOMPARE(closer.seen[1].text, QString(kReadFailedMessage.data()));
    QCOMPARE(closer.seen[1].className, QString("QMessageBox"));
    QVERIFY(!p.window->Timer1.isActive());
    QTest::qWait(1100);
    QCOMPARE(closer.seen.size(), 2);

    // On a closed port the probe itself fails: no wait, no timer, one message.
    closer.seen.clear();
    QTest::mouseClick(p.check(), Qt::LeftButton);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen[0].text, QString(kWriteFailedMessage.data()));
    QVERIFY(!p.window->Timer1.isActive());
}

void ConnectionCheckTest::realPortAnswered() {
    Pty pty;
    qputenv("TOLVANE_COM1", pty.path().toLocal8Bit());
    frmTolvane window(std::make_unique<SerialLayer>());
    qputenv("TOLVANE_COM1", kNowhere);
    QVERIFY(window.MSComm1().PortOpen());
    ModalCloser closer;
    // The far end answers the probe as a projector would, from the event loop.
    QTimer projector;
    QByteArray heard;
    QObject::connect(&projector, &QTimer::timeout, [&] {
        heard += pty.readFromPanel(9 - heard.size(), 1ms);
        if (heard.size() == 9) {
            pty.writeToPanel(QByteArray("\x06", 1));
            heard.clear();
        }
    });
    projector.start(5);
    QTest::mouseClick(window.button("CHECK_CONNECTION"), Qt::LeftButton);
    QCOMPARE(dialogsSeen(closer), QStringList{"CONNECTION"});
}

void ConnectionCheckTest::realPortSilent() {
    Pty pty;
    qputenv("TOLVANE_COM1", pty.path().toLocal8Bit());
    frmTolvane window(std::make_unique<SerialLayer>());
    qputenv("TOLVANE_COM1", kNowhere);
    window.show();
    ModalCloser closer(50ms);
    ShowWatch watch;
    watch.start();
    QTest::mouseClick(window.button("CHECK_CONNECTION"), Qt::LeftButton);
    QCOMPARE(dialogsSeen(closer), QStringList{"frmconnect"});
    QCOMPARE(pty.readFromPanel(9),
             QByteArray::fromHex(QByteArray::fromStdString(keypadData().probe)));
    qInfo("unanswered check: %lld us of CPU, not-responding dialog after %lld ms",
          qlonglong(watch.cpu.count()), watch.elapsedMs);
    // A wait that spins burns about a whole second of CPU here; a sleeping one a few ms.
    QVERIFY(watch.cpu < 200ms);
    QVERIFY(watch.elapsedMs >= 1000);
}

// Bytes that wait from before (the ack of a key press, a reply that came after a time-out) are
// not an answer: a switched-off projector must not be called responding.
void ConnectionCheckTest::realPortOnlyBytesAfterTheProbeAnswer() {
    Pty pty;
    qputenv("TOLVANE_COM1", pty.path().toLocal8Bit());
    frmTolvane window(std::make_unique<SerialLayer>());
    qputenv("TOLVANE_COM1", kNowhere);
    ModalCloser closer;
    window.mMute_Click();
    pty.writeToPanel(QByteArray("\x06", 1));  // the projector acknowledged the key, then died
    QTRY_COMPARE(window.MSComm1().InBufferCount(), std::int16_t{1});
    closer.onOpen = [&](QWidget*) { pty.writeToPanel(QByteArray("\x06", 1)); };  // too late
    QTest::mouseClick(window.button("CHECK_CONNECTION"), Qt::LeftButton);
    QTRY_COMPARE(window.MSComm1().InBufferCount(), std::int16_t{1});
    QTest::mouseClick(window.button("CHECK_CONNECTION"), Qt::LeftButton);
    QCOMPARE(dialogsSeen(closer), QStringList({"frmconnect", "frmconnect"}));
    // The second check showed the first one's dialog again.
    const QWidgetList windows = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(windows.cbegin(), windows.cend(),
                           [](QWidget* w) { return qobject_cast<frmconnect*>(w) != nullptr; }),
             1);
}

// A storm of clicks while a check waits nests only so deep: the panel lives, keeps its memory,
// and has at most kMaxNestedChecks probes out when the first time-out comes.
void ConnectionCheckTest::realPortClickStormIsBounded() {
    Pty pty;
    qputenv("TOLVANE_COM1", pty.path().toLocal8Bit());
    frmTolvane window(std::make_unique<SerialLayer>());
    qputenv("TOLVANE_COM1", kNowhere);
    auto residentKib = [] {
        QFile statm("/proc/self/statm");
        statm.open(QIODevice::ReadOnly);
        return statm.readAll().split(' ').value(1).toLongLong() * (::getpagesize() / 1024);
    };
    const qint64 before = residentKib();
    ModalCloser closer;
    QByteArray probesBeforeResult;
    closer.onOpen = [&](QWidget*) {
        if (closer.seen.size() == 1) probesBeforeResult = pty.readFromPanel(9 * 6001, 100ms);
    };
    QPushButton* check = window.button("CHECK_CONNECTION");
    // Separate timers, as separate input events would be: each fires inside the wait of the
    // one before (posted calls would be taken only one nesting at a time).
    for (int i = 0; i < 6000; ++i) QTimer::singleShot(1ms, check, &QPushButton::click);
    QTest::mouseClick(check, Qt::LeftButton);
    QTRY_VERIFY(!window.Timer1.isActive() && !QApplication::activeModalWidget());
    const QStringList seen = dialogsSeen(closer);
    QCOMPARE(seen, QStringList(seen.size(), "frmconnect"));
    QCOMPARE(probesBeforeResult,
             QByteArray::fromHex("01060000100081970E").repeated(kMaxNestedChecks));
    qInfo("6000 clicks in a storm: %lld results, resident memory grew by %lld KiB",
          qlonglong(seen.size()), residentKib() - before);
    QVERIFY(residentKib() - before < 20 * 1024);
}

QTEST_MAIN(ConnectionCheckTest)
#include "test_connection_check.moc"
