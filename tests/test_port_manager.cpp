#include <QTest>

#include "fake_serial_layer.h"
#include "serial/messages.h"
#include "serial/port_manager.h"
#include "serial/reconnector.h"

using namespace tolvane;
using tolvane::testing::FakeSerialLayer;
using Lines = std::vector<std::string>;

Q_DECLARE_METATYPE(tolvane::TransportKind)

namespace {

// Records check marks and messages; the marks start cleared, as the window is created.
class FakeUi : public PortUi {
  public:
    void setPortChecked(int item, bool checked) override {
        marks.at(std::size_t(item - 1)) = checked;
    }
    void showMessage(std::string_view text, std::string_view more) override {
        messages.emplace_back(text);
        details.emplace_back(more);
    }

    int checkedCount() const { return int(std::count(marks.begin(), marks.end(), true)); }
    bool checked(int item) const { return marks.at(std::size_t(item - 1)); }

    std::array<bool, 4> marks{};
    Lines messages;
    Lines details;
};

const std::string kOpenFailed(kOpenFailedMessage);

}  // namespace

class PortManagerTest : public QObject {
    Q_OBJECT

  private slots:
    void startUpOpensComm1();
    void startUpFailureShowsMessageOnce();
    void switchingWhileOpen();
    void choosingTheCheckedItemReopensIt();
    void failedPortThenWorkingPort();
    void switchingWhileClosedHasNoCloseStep();
    void exactlyOneMarkAfterEveryStep();
    void failedWriteEndsThePress();
    void retryPauses_data();
    void retryPauses();
    void lostPortComesBackQuietly();
    void retryingStopsOrNeverStarts_data();
    void retryingStopsOrNeverStarts();
    void networkRetriesSpreadOut();
};

void PortManagerTest::startUpOpensComm1() {
    FakeSerialLayer port;
    FakeUi ui;
    PortManager(port, ui).startUp();
    QCOMPARE(port.transcript, (Lines{"open fake device 1"}));
    QVERIFY(port.PortOpen());
    QCOMPARE(port.settings, parseLineSettings("9600,N,8,1"));
    QVERIFY(ui.checked(1));
    QCOMPARE(ui.checkedCount(), 1);
    QVERIFY(ui.messages.empty());
}

void PortManagerTest::startUpFailureShowsMessageOnce() {
    FakeSerialLayer port;
    port.refusedPorts = {1};
    FakeUi ui;
    PortManager(port, ui).startUp();
    QCOMPARE(ui.messages, Lines{kOpenFailed});
    QCOMPARE(
        ui.messages.front(),
        std::string("Error while opening comm port. Ensure that a valid comm port is selected"));
    QVERIFY(!port.PortOpen());
    QVERIFY(ui.checked(1));
}

void PortManagerTest::switchingWhileOpen() {
    FakeSerialLayer port;
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    port.transcript.clear();
    manager.selectPort(3);
    QCOMPARE(port.transcript, (Lines{"close", "open fake device 3"}));
    QVERIFY(ui.checked(3));
    QCOMPARE(ui.checkedCount(), 1);
    QCOMPARE(port.settings, parseLineSettings("9600,N,8,1"));
}

void PortManagerTest::choosingTheCheckedItemReopensIt() {
    FakeSerialLayer port;
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    port.transcript.clear();
    manager.selectPort(1);
    QCOMPARE(port.transcript, (Lines{"close", "open fake device 1"}));
    QVERIFY(port.PortOpen());
}

void PortManagerTest::failedPortThenWorkingPort() {
    FakeSerialLayer port;
    port.refusedPorts = {2};
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    manager.selectPort(2);
    QCOMPARE(ui.messages, Lines{kOpenFailed});
    QVERIFY(ui.checked(2));
    QVERIFY(!port.PortOpen());
    QCOMPARE(port.CommPort(), std::int16_t{2});

    manager.selectPort(4);
    QCOMPARE(ui.messages.size(), std::size_t{1});
    QVERIFY(port.PortOpen());
    QCOMPARE(port.CommPort(), std::int16_t{4});
}

void PortManagerTest::switchingWhileClosedHasNoCloseStep() {
    FakeSerialLayer port;
    port.refusedPorts = {1};
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    port.transcript.clear();
    manager.selectPort(2);
    QCOMPARE(port.transcript, (Lines{"open fake device 2"}));
}

void PortManagerTest::exactlyOneMarkAfterEveryStep() {
    FakeSerialLayer port;
    port.refusedPorts = {3};
    FakeUi ui;
    PortManager manager(port, ui);
    QCOMPARE(ui.checkedCount(), 0);
    manager.startUp();
    QCOMPARE(ui.checkedCount(), 1);
    for (int item : {2, 3, 3, 1, 4, 4, 2}) {
        manager.selectPort(item);
        QCOMPARE(ui.checkedCount(), 1);
        QVERIFY(ui.checked(item));
    }
}

// A closed port fails the lead-in write: no key frame follows, one message is shown.
void PortManagerTest::failedWriteEndsThePress() {
    FakeSerialLayer port;
    FakeUi ui;
    PortManager manager(port, ui);
    QVERIFY(!manager.pressKey(*findKey("mVolume")));
    QVERIFY(port.transcript.empty());  // a closed port is never written to
    QCOMPARE(ui.messages, Lines{std::string(kWriteFailedMessage)});

    // The key frame failing after a good lead-in frame also ends the press with one message.
    port.PortOpen(true);
    port.writesBeforeFailure = 1;
    ui.messages.clear();
    QVERIFY(!manager.pressKey(*findKey("m1")));
    QCOMPARE(port.written.size(), std::size_t{1});
    QCOMPARE(ui.messages.size(), std::size_t{1});
}

void PortManagerTest::retryPauses_data() {
    QTest::addColumn<TransportKind>("transport");
    QTest::addColumn<QList<int>>("pauses");  // ms, from the first on
    QTest::newRow("device") << TransportKind::Device << QList<int>{500, 500, 500};
    QTest::newRow("network") << TransportKind::Network
                             << QList<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000};
}

void PortManagerTest::retryPauses() {
    QFETCH(TransportKind, transport);
    QFETCH(QList<int>, pauses);
    const RetrySchedule schedule = retryScheduleFor(transport);
    QList<int> seen{int(schedule.first.count())};
    while (seen.size() < pauses.size())
        seen << int(nextRetryPause(schedule, std::chrono::milliseconds(seen.back())).count());
    QCOMPARE(seen, pauses);
}

// Pulled while open: a key meanwhile shows the write message and is not kept; quiet tries until
// the device is back; then keys go out, no message, the mark where it was.
void PortManagerTest::lostPortComesBackQuietly() {
    FakeSerialLayer port;
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    port.refusedPorts = {1};
    port.hangUp();
    QVERIFY(manager.retrying());
    QVERIFY(!manager.pressKey(*findKey("mMute")));
    QCOMPARE(ui.messages, Lines{std::string(kWriteFailedMessage)});
    auto tries = [&] {
        return std::count(port.transcript.begin(), port.transcript.end(), "reopen");
    };
    QTRY_VERIFY_WITH_TIMEOUT(tries() >= 2, 2000);
    QVERIFY(!port.PortOpen());

    port.refusedPorts.clear();
    QTRY_VERIFY_WITH_TIMEOUT(port.PortOpen(), 2000);
    QVERIFY(!manager.retrying());
    const auto afterReturn = tries();
    QVERIFY(manager.pressKey(*findKey("mVolume")));
    const KeyCommand& volume = *findKey("mVolume");
    QCOMPARE(port.written, (std::vector<Bytes>{leadInFrame(volume), keyFrame(volume)}));
    QCOMPARE(ui.messages.size(), std::size_t{1});
    QVERIFY(ui.checked(1));
    QCOMPARE(ui.checkedCount(), 1);
    QTest::qWait(700);  // a stretch in which no further try may come
    QCOMPARE(tries(), afterReturn);
}

void PortManagerTest::retryingStopsOrNeverStarts_data() {
    QTest::addColumn<QString>("what");
    QTest::newRow("a menu choice") << "choose";
    QTest::newRow("the window closing") << "close";
    QTest::newRow("a failed open at start") << "start refused";
    QTest::newRow("a failed open from the menu") << "choice refused";
}

void PortManagerTest::retryingStopsOrNeverStarts() {
    QFETCH(QString, what);
    FakeSerialLayer port;
    FakeUi ui;
    PortManager manager(port, ui);
    port.refusedPorts = {1, 2};
    if (what == "start refused") {
        manager.startUp();
    } else if (what == "choice refused") {
        manager.selectPort(2);
    } else {
        port.refusedPorts = {};
        manager.startUp();
        port.refusedPorts = {1, 2};
        port.hangUp();
        QVERIFY(manager.retrying());
        if (what == "choose")
            manager.selectPort(2);
        else
            manager.stopRetrying();
    }
    QVERIFY(!manager.retrying());
    QTest::qWait(1200);  // a stretch in which no try may come: two device periods and more
    QCOMPARE(std::count(port.transcript.begin(), port.transcript.end(), "reopen"), 0);
}

// A device server that stays away is tried after 1 s, then 2 s more, then 4 s more: in the
// first 3.5 s, twice (a pause that did not grow would make it three times).
void PortManagerTest::networkRetriesSpreadOut() {
    FakeSerialLayer port;
    port.transport = TransportKind::Network;
    FakeUi ui;
    PortManager manager(port, ui);
    manager.startUp();
    port.refusedPorts = {1};
    port.hangUp();
    QTest::qWait(3500);
    QCOMPARE(std::count(port.transcript.begin(), port.transcript.end(), "reopen"), 2);
    QVERIFY(manager.retrying());
}

QTEST_GUILESS_MAIN(PortManagerTest)
#include "test_port_manager.moc"
