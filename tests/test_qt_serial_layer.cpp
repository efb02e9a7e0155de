#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <optional>
#include <thread>

#include "fake_serial_layer.h"
#include "protocol/key_table.h"
#include "pty_pair.h"
#include "serial/port_manager.h"
#include "transport/serial_layer.h"
#include "transport/telnet.h"

using namespace tolvane;
using namespace std::chrono_literals;
using tolvane::testing::Pty;

namespace {

QByteArray bytes(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

// What every Comm item names outside a test's own ports: unset, COMn would be this machine's
// n-th real serial port.
constexpr const char* kNowhere = "/nonexistent/tolvane-test-port";

// Points COM1 at the test's own pty (or a name for it) for the life of the object.
struct Com1On {
    explicit Com1On(const QByteArray& name) { qputenv("TOLVANE_COM1", name); }
    ~Com1On() { qputenv("TOLVANE_COM1", kNowhere); }
};

void openOn(SerialLayer& layer, const QByteArray& name) {
    Com1On com1(name);
    layer.Settings("9600,N,8,1");
    layer.PortOpen(true);
}

void openOn(SerialLayer& layer, const Pty& pty) {
    openOn(layer, QFile::encodeName(pty.path()));
}

// The reason an open was refused with, or an empty string when it opened.
QString openRefusal(SerialLayer& layer, const QByteArray& name) {
    try {
        openOn(layer, name);
    } catch (const SerialError& e) {
        if (e.kind() != SerialError::Kind::Open) return "not an open failure: " + QString(e.what());
        return QString::fromLocal8Bit(e.what());
    }
    return {};
}

// Another program: a child process that, while this object lives, holds a flock() on a
// device (when given one) and otherwise waits. gone() makes it one that has ended.
class OtherProgram {
  public:
    explicit OtherProgram(const QByteArray& flockOn = {}, bool shared = false) {
        int ready[2];
        if (::pipe(ready) != 0) qFatal("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = flockOn.isEmpty() ? -1 : ::open(flockOn.constData(), O_RDWR | O_NOCTTY);
            if (fd >= 0 && ::flock(fd, shared ? LOCK_SH : LOCK_EX) != 0) ::_exit(1);
            if (::write(ready[1], "r", 1) != 1) ::_exit(1);
            for (;;) ::pause();
        }
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        ::close(ready[1]);
        if (!started) qFatal("the other program did not start");
    }
    ~OtherProgram() { gone(); }
    pid_t pid() const { return pid_; }
    void gone() {
        if (running_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        running_ = false;
    }

  private:
    pid_t pid_ = -1;
    bool running_ = true;
};

// A lock file this test writes in /var/lock; removed again whatever the test does.
struct LockFileOf {
    LockFileOf(const QString& name, const QByteArray& content) : path("/var/lock/" + name) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
            file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
    }
    ~LockFileOf() { QFile::remove(path); }
    QByteArray content() const {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString path;
};

// Whether the terminal refuses opens (but root's): TIOCEXCL is set on it.
bool exclusive(const QString& device) {
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && errno == EBUSY) return true;  // not root: refused, as asked
    int set = 0;
    if (fd < 0 || ::ioctl(fd, TIOCGEXCL, &set) != 0)
        qFatal("cannot ask whether the terminal is exclusive");
    ::close(fd);
    return set != 0;
}

// This process's open descriptors on a device (a pty's node is gone once it hung up).
int descriptorsOn(const QString& device) {
    int count = 0;
    for (const QFileInfo& fd :
         QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == device || fd.symLinkTarget() == device + " (deleted)";
    return count;
}

// Qt's form of a lock file name: the path below /dev, '/' as '_'.
QString qtLockName(QString path) {
    if (path.startsWith("/dev/")) path.remove(0, 5);
    return "LCK.." + path.replace('/', '_');
}

}  // namespace

class QtSerialLayerTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        for (const char* n : {"1", "2", "3", "4"}) qputenv(QByteArray("TOLVANE_COM") + n, kNowhere);
    }
    void keyPressArrivesExactlyInOrder();
    void countAndDiscard();
    void inputBeforeOpenIsDiscarded();
    void receiveBufferIsBounded();
    void secondOpenOfTheSamePortFails_data();
    void secondOpenOfTheSamePortFails();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void unusualNamesOpen_data();
    void unusualNamesOpen();
    void closedPortRefusesWritesAndReads();
    void describePortNamesTheDevice_data();
    void describePortNamesTheDevice();
    void closingFlushesQueuedBytes_data();
    void closingFlushesQueuedBytes();
    void laggingLineHoldsPressesBackWhole();
    void discardTakesWhatTheSocketHolds();
    void pressWaitsForTheServersLine_data();
    void pressWaitsForTheServersLine();
    void everyPressHasOneFate_data();
    void everyPressHasOneFate();
    void hangUpClosesAndStaysQuiet();
    void lostPortIsToldAndReopenedByName();
    void badDeviceNamesFailToOpen_data();
    void badDeviceNamesFailToOpen();
    void malformedSettingsFail();
};

void QtSerialLayerTest::keyPressArrivesExactlyInOrder() {
    Pty pty;
    SerialLayer layer;
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
    SerialLayer layer;
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
    SerialLayer layer;
    openOn(layer, pty);
    QTest::qWait(50);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
}

void QtSerialLayerTest::receiveBufferIsBounded() {
    Pty pty;
    SerialLayer layer;
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

void QtSerialLayerTest::secondOpenOfTheSamePortFails_data() {
    QTest::addColumn<bool>("throughALink");
    QTest::newRow("same name") << false;
    // The lock goes with the device, not the name: refused even as root (TIOCEXCL is not).
    QTest::newRow("another name for it") << true;
}

void QtSerialLayerTest::secondOpenOfTheSamePortFails() {
    QFETCH(bool, throughALink);
    Pty pty;
    QTemporaryDir folder;
    const QString link = folder.filePath("port");
    QVERIFY(QFile::link(pty.path(), link));
    SerialLayer first;
    openOn(first, pty);
    SerialLayer second;
    const QString name = throughALink ? link : pty.path();
    QVERIFY(openRefusal(second, QFile::encodeName(name))
                .startsWith(QStringLiteral("in use by PID %1").arg(::getpid())));
    QVERIFY(!second.PortOpen());
    // The first one is undisturbed.
    first.Output(probeFrame());
    QCOMPARE(pty.readFromPanel(9), bytes(probeFrame()));
    // Other users' opens are refused by the terminal itself while the port is open, not after.
    QVERIFY(exclusive(pty.path()));
    first.PortOpen(false);
    QVERIFY(!exclusive(pty.path()));
}

void QtSerialLayerTest::portHeldByAnotherProgram_data() {
    QTest::addColumn<QString>("form");  // of the lock: ascii, binary, qt, garbage, flock
    // The lock file's name: after the link, Qt's after the link, or the device's numbers (not
    // Qt's after the device: a panel killed in another test may have left that one behind).
    QTest::addColumn<QString>("keyedOn");
    QTest::addColumn<bool>("running");
    struct Row {
        const char* name;
        const char* form;
        const char* keyedOn;
        bool running;
    };
    for (const Row& row : {Row{"ASCII lock, live", "ascii", "link", true},
                           Row{"binary lock, live", "binary", "numbers", true},
                           Row{"Qt's lock, live", "qt", "link-qt", true},
                           Row{"flock() on the device", "flock", "", true},
                           Row{"shared flock() on the device", "flock-shared", "", true},
                           // Seen by a user who may not signal it (EPERM), as init is.
                           Row{"ASCII lock of another user's process", "init", "link", true},
                           Row{"ASCII lock, stale", "ascii", "link", false},
                           Row{"binary lock, stale", "binary", "numbers", false},
                           Row{"Qt's lock, stale", "qt", "link-qt", false},
                           // Left from before a restart, when this PID was another program's.
                           Row{"ASCII lock naming us, not held", "ours", "link", false},
                           Row{"lock naming no process", "garbage", "link", true}})
        QTest::newRow(row.name) << QString(row.form) << QString(row.keyedOn) << row.running;
}

void QtSerialLayerTest::portHeldByAnotherProgram() {
    QFETCH(QString, form);
    QFETCH(QString, keyedOn);
    QFETCH(bool, running);
    Pty pty;
    // The link's name is this folder's, unique: tests running at the same time keep apart.
    QTemporaryDir folder;
    const QString link = folder.filePath(QFileInfo(folder.path()).fileName());
    QVERIFY(QFile::link(pty.path(), link));
    OtherProgram other(form.startsWith("flock") ? QFile::encodeName(pty.path()) : QByteArray(),
                       form == "flock-shared");
    if (!running) other.gone();
    const qint32 pid = form == "ours" ? ::getpid() : form == "init" ? 1 : other.pid();

    QByteArray content;
    if (form == "ascii" || form == "ours" || form == "init")
        content = QString::asprintf("%10d\n", pid).toLatin1();
    if (form == "binary") content = QByteArray(reinterpret_cast<const char*>(&pid), sizeof pid);
    if (form == "qt")
        content = QByteArray::number(pid) + "\nsomeprogram\n" +
                  QSysInfo::machineHostName().toUtf8() + "\n";
    if (form == "garbage") content = "\x01\x02 not a PID\n";
    struct stat device {};
    QVERIFY(::stat(QFile::encodeName(pty.path()).constData(), &device) == 0);
    const QString lockName =
        keyedOn == "link" ? "LCK.." + QFileInfo(link).fileName()
        : keyedOn == "link-qt"
            ? qtLockName(link)
            : QString::asprintf("LCK.%03u.%03u", major(device.st_rdev), minor(device.st_rdev));
    std::optional<LockFileOf> lock;
    if (!content.isEmpty()) lock.emplace(lockName, content);

    SerialLayer layer;
    const QString refusal = openRefusal(layer, QFile::encodeName(link));
    if (!running) {
        // A lock of a program that is gone is removed, and the port works.
        QCOMPARE(refusal, QString());
        QVERIFY(!QFile::exists(lock->path));
        layer.Output(probeFrame());
        QCOMPARE(pty.readFromPanel(9), bytes(probeFrame()));
        return;
    }
    QVERIFY(!layer.PortOpen());
    if (form == "garbage")
        QCOMPARE(refusal, "the lock file " + lock->path +
                              " names no process (remove it if no program uses the port)");
    else
        QVERIFY2(refusal.startsWith(QStringLiteral("in use by PID %1").arg(pid)),
                 qPrintable(refusal));
    if (lock) QCOMPARE(lock->content(), content);
    QCOMPARE(pty.readFromPanel(1, 50ms), QByteArray());
}

void QtSerialLayerTest::unusualNamesOpen_data() {
    QTest::addColumn<QByteArray>("linkName");  // a link to the pty in a folder of the test's own
    QTest::addColumn<int>("depth");            // folders of 60 characters between the two
    QTest::newRow("300 characters") << QByteArray("port") << 5;
    QTest::newRow("not UTF-8") << QByteArray("port-\xff\xfe-latin1-\xe9") << 0;
    QTest::newRow("bare name, under /dev") << QByteArray() << 0;
}

void QtSerialLayerTest::unusualNamesOpen() {
    QFETCH(QByteArray, linkName);
    QFETCH(int, depth);
    Pty pty;
    QTemporaryDir folder;
    QByteArray name = QFile::encodeName(pty.path()).mid(int(qstrlen("/dev/")));
    if (!linkName.isEmpty()) {
        name = QFile::encodeName(folder.path());
        for (int i = 0; i < depth; ++i) {
            name += "/" + QByteArray(59, 'a' + char(i));
            QVERIFY(::mkdir(name.constData(), 0700) == 0);
        }
        name += "/" + linkName;
        QVERIFY(::symlink(QFile::encodeName(pty.path()).constData(), name.constData()) == 0);
    }
    // QTemporaryDir cannot remove a name that is not text.
    const auto removeLink = qScopeGuard([&] {
        if (!linkName.isEmpty()) ::unlink(name.constData());
    });
    if (depth > 0) QVERIFY(name.size() >= 300);
    SerialLayer layer;
    QCOMPARE(openRefusal(layer, name), QString());
    const KeyCommand& mute = *findKey("mMute");
    sendKey(layer, mute);
    QCOMPARE(pty.readFromPanel(25), bytes(leadInFrame(mute)) + bytes(keyFrame(mute)));
    layer.PortOpen(false);
}

// What a Comm item's tooltip says: the device, where a link leads, or that nothing is there.
void QtSerialLayerTest::describePortNamesTheDevice_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("the pty itself") << "pty";
    QTest::newRow("a link to it") << "link";
    QTest::newRow("nothing there") << "missing";
}

void QtSerialLayerTest::describePortNamesTheDevice() {
    QFETCH(QString, how);
    Pty pty;
    QTemporaryDir folder;
    QString name = pty.path();
    if (how == "link") {
        name = folder.filePath("projector");
        QVERIFY(QFile::link(pty.path(), name));
    } else if (how == "missing") {
        name = folder.filePath("unplugged");
    }
    Com1On com1(QFile::encodeName(name));
    const QString said = QString::fromStdString(SerialLayer().describePort(1));
    QVERIFY2(said.startsWith(name), qPrintable(said));
    QCOMPARE(said.contains(QStringLiteral("(%1)").arg(pty.path())), how == "link");
    QCOMPARE(said.endsWith(": nothing is there"), how == "missing");
}

void QtSerialLayerTest::closedPortRefusesWritesAndReads() {
    SerialLayer layer;
    try {
        layer.Output(probeFrame());
        QFAIL("a write on a closed port succeeded");
    } catch (const SerialError& e) {
        QVERIFY(e.kind() == SerialError::Kind::Write);
    }
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.InBufferCount());
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.InBufferCount(0));
}

// Bytes still queued when the port closes (the line lagged) leave after it, in the background:
// the far end starts reading only then. Closing lets queued presses leave for a while; a line too
// slow for that loses whole presses from the end of the queue, never the tail of the one it is in
// the middle of.
void QtSerialLayerTest::closingFlushesQueuedBytes_data() {
    QTest::addColumn<int>("bytesPerRead");  // the far end reads this much every 5 ms
    QTest::newRow("far end keeps up") << 4096;
    QTest::newRow("far end lags") << 48;
}

void QtSerialLayerTest::closingFlushesQueuedBytes() {
    QFETCH(int, bytesPerRead);
    Pty pty;
    QByteArray expected;
    std::vector<qsizetype> frameEnds{0};
    QByteArray got;
    {
        SerialLayer layer;
        openOn(layer, pty);
        for (int round = 0; layer.OutBufferCount() < 16384 && round < 100; ++round)
            for (const KeyCommand& key : kKeys) {
                sendKey(layer, key);
                for (const Bytes& frame : {leadInFrame(key), keyFrame(key)}) {
                    expected += bytes(frame);
                    frameEnds.push_back(expected.size());
                }
            }
        QVERIFY(layer.OutBufferCount() > 0);
        std::thread farEnd([&] {
            for (QByteArray piece = pty.readFromPanel(bytesPerRead, 50ms); !piece.isEmpty();
                 piece = pty.readFromPanel(bytesPerRead, 300ms)) {
                got += piece;
                std::this_thread::sleep_for(5ms);
            }
        });
        layer.PortOpen(false);
        QVERIFY(!layer.PortOpen());
        // The window goes on meanwhile: the queue leaves in the background.
        QTRY_VERIFY_WITH_TIMEOUT(!layer.departing(), 2000);
        farEnd.join();
    }
    QCOMPARE(got, expected.left(got.size()));
    QVERIFY2(std::find(frameEnds.begin(), frameEnds.end(), got.size()) != frameEnds.end(),
             qPrintable(QString("%1 of %2 bytes arrived").arg(got.size()).arg(expected.size())));
    qInfo("%lld of %lld bytes arrived", qlonglong(got.size()), qlonglong(expected.size()));
    if (bytesPerRead > 1000) QCOMPARE(got.size(), expected.size());
}

// The far end stops reading: the terminal's buffer (about 16 KiB here) fills and writes meet
// EAGAIN. Presses wait in the queue and leave whole once it reads again; only a press that
// would take the queue past its bound is refused, and then whole.
// Presses queued on a line that stopped reading, then an end: each press is told once whether
// it went, and the far end gets exactly the presses told "sent", whole and in order, whatever
// it reads later. None goes to the next device. A close does not hold the caller.
void QtSerialLayerTest::everyPressHasOneFate_data() {
    QTest::addColumn<QString>("end");
    for (const char* end : {"close", "hang-up", "withdraw", "drain gives up"})
        QTest::newRow(end) << end;
}

void QtSerialLayerTest::everyPressHasOneFate() {
    QFETCH(QString, end);
    Pty pty;
    SerialLayer layer;
    openOn(layer, pty);
    const KeyCommand& mute = *findKey("mMute");
    const QByteArray press = bytes(leadInFrame(mute)) + bytes(keyFrame(mute));
    constexpr int kPresses = 2000;  // more than the terminal holds
    std::vector<int> told(kPresses, 0);
    int sent = 0;
    std::vector<SerialLayer::PressId> ids;
    for (int i = 0; i < kPresses; ++i)
        ids.push_back(sendKey(layer, mute, [&, i](bool went) {
            ++told[std::size_t(i)];
            sent += went;
        }));
    QVERIFY(layer.OutBufferCount() > 0);
    QElapsedTimer clock;
    clock.start();
    if (end == "close") {
        layer.PortOpen(false);
        qInfo("the close returned after %lld ms", qlonglong(clock.elapsed()));
        QVERIFY(clock.elapsed() < 100);  // it used to hold the window for a second
    } else if (end == "hang-up") {
        pty.hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!layer.PortOpen(), 2000);
    } else if (end == "withdraw") {
        for (int i = kPresses / 2; i < kPresses; ++i) QVERIFY(layer.withdraw(ids[std::size_t(i)]));
    } else {
        QVERIFY_THROWS_EXCEPTION(SerialError, layer.drain(100ms));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!layer.departing(), 3000);
    if (end != "hang-up") {
        // The far end reads again: only what was told "sent", or is still to go, arrives.
        QByteArray got;
        for (QByteArray piece = pty.readFromPanel(4096, 300ms); !piece.isEmpty();
             piece = pty.readFromPanel(4096, 300ms)) {
            got += piece;
            QCoreApplication::processEvents();
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::count(told.begin(), told.end(), 1) == kPresses, 3000);
        QVERIFY2(got == press.repeated(sent),
                 qPrintable(
                     QString("%1 bytes arrived, %2 presses told sent").arg(got.size()).arg(sent)));
    }
    QVERIFY(std::all_of(told.begin(), told.end(), [](int n) { return n == 1; }));
    QVERIFY(sent < kPresses);
    if (end == "hang-up") {
        // A new device behind the same name gets none of the old presses.
        Pty next;
        openOn(layer, next);
        QCOMPARE(next.readFromPanel(1, 200ms), QByteArray());
    }
}

void QtSerialLayerTest::laggingLineHoldsPressesBackWhole() {
    Pty pty;
    SerialLayer layer;
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
    qInfo("a line that stopped reading took %d presses (%lld bytes) before one was refused",
          accepted, qlonglong(accepted * press.size()));
    QVERIFY(accepted > int(kOutBufferSize) / press.size() && accepted < 10000);
    QVERIFY(layer.PortOpen());
    QCOMPARE(readAll(accepted * press.size()), press.repeated(accepted));
    sendKey(layer, volume);  // and the line takes presses again
    QCOMPARE(pty.readFromPanel(press.size()), press);
}

void QtSerialLayerTest::hangUpClosesAndStaysQuiet() {
    for (const bool key : {false, true}) {
        // Found by the write itself, before any event-loop pass: that write fails and closes,
        // and a key's second frame is not written from the press withdrawn by then.
        Pty pty;
        SerialLayer layer;
        openOn(layer, pty);
        pty.hangUp();
        if (key)
            QVERIFY_THROWS_EXCEPTION(SerialError, sendKey(layer, *findKey("mMute")));
        else
            QVERIFY_THROWS_EXCEPTION(SerialError, layer.Output(probeFrame()));
        QVERIFY(!layer.PortOpen());
    }
    Pty pty;
    SerialLayer layer;
    openOn(layer, pty);
    pty.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!layer.PortOpen(), 2000);
    // Nothing of the device is kept: no descriptor, so no lock on it either.
    QCOMPARE(descriptorsOn(pty.path()), 0);
    const auto before = tolvane::testing::processCpuTime();
    QTest::qWait(1000);
    const auto spent = tolvane::testing::processCpuTime() - before;
    qInfo("CPU time in the second after a hang-up: %lld us", qlonglong(spent.count()));
    QVERIFY(spent < 50ms);
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.Output(probeFrame()));
}

// The owner hears of a hang-up once, never of a close it asked for; a reopen goes to the same
// name (a pseudo-terminal has no adapter identity) with the same settings and lock.
void QtSerialLayerTest::lostPortIsToldAndReopenedByName() {
    QTemporaryDir folder;
    const QByteArray link = QFile::encodeName(folder.filePath("projector"));
    auto pointLink = [&](const Pty& pty) {
        QFile::remove(QFile::decodeName(link));
        QVERIFY(QFile::link(pty.path(), QFile::decodeName(link)));
    };
    std::vector<TransportKind> told;
    SerialLayer layer;
    layer.setLostHandler([&](TransportKind transport) { told.push_back(transport); });
    Pty first;
    pointLink(first);
    const Com1On com1(link);
    layer.Settings("9600,N,8,1");
    layer.PortOpen(true);
    layer.PortOpen(false);
    layer.PortOpen(true);
    QVERIFY(told.empty());

    first.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!layer.PortOpen(), 2000);
    QCOMPARE(told, std::vector<TransportKind>{TransportKind::Device});
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.reopenLost());  // nothing behind the name yet

    Pty second;
    pointLink(second);
    layer.reopenLost();
    QVERIFY(layer.PortOpen());
    QVERIFY(exclusive(second.path()));
    QCOMPARE(layer.where(), link.toStdString());
    const KeyCommand& mute = *findKey("mMute");
    sendKey(layer, mute);
    const QByteArray press = bytes(leadInFrame(mute)) + bytes(keyFrame(mute));
    QCOMPARE(second.readFromPanel(press.size()), press);
    QCOMPARE(second.readFromPanel(1, 100ms), QByteArray());
    QCOMPARE(told.size(), std::size_t{1});
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
    SerialLayer layer;
    QVERIFY_THROWS_EXCEPTION(SerialError, layer.PortOpen(true));
    qputenv("TOLVANE_COM1", kNowhere);
    QVERIFY(!layer.PortOpen());
}

void QtSerialLayerTest::malformedSettingsFail() {
    SerialLayer layer;
    try {
        layer.Settings("9600,Q,8,1");
        QFAIL("malformed settings were taken");
    } catch (const SerialError& e) {
        QVERIFY(e.kind() == SerialError::Kind::Settings);
        QVERIFY(QString(e.what()).contains("parity"));
    }
}

// Bytes a device server sent before a probe are not an answer to it, even those the socket holds
// that no event has brought in yet.
void QtSerialLayerTest::discardTakesWhatTheSocketHolds() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    SerialLayer layer;
    openOn(layer, "tcp://127.0.0.1:" + QByteArray::number(server.serverPort()));
    QTRY_VERIFY(layer.PortOpen());
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket* far = server.nextPendingConnection();
    far->write("late answer");
    QVERIFY(far->waitForBytesWritten(1000));
    std::this_thread::sleep_for(100ms);  // in the panel's socket, not yet read
    layer.InBufferCount(0);
    QTest::qWait(200);
    QCOMPARE(layer.InBufferCount(), std::int16_t{0});
}

// A press made while a device server agrees the line (RFC 2217) waits for it: its bytes reach
// the server only after every setting was confirmed, and never when the server does not confirm.
void QtSerialLayerTest::pressWaitsForTheServersLine_data() {
    QTest::addColumn<int>("confirmAfterMs");  // -1: never
    QTest::newRow("confirms late") << 800;
    QTest::newRow("never confirms") << -1;
}

void QtSerialLayerTest::pressWaitsForTheServersLine() {
    QFETCH(int, confirmAfterMs);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray heard;
    QTcpSocket* client = nullptr;
    connect(&server, &QTcpServer::newConnection, [&] {
        client = server.nextPendingConnection();
        client->write(QByteArray::fromHex("FFFD2C"));  // the server takes the option
        connect(client, &QIODevice::readyRead, [&] {
            heard += client->readAll();
            if (confirmAfterMs < 0 || !heard.contains(QByteArray::fromHex("FFFA2C05"))) return;
            QTimer::singleShot(confirmAfterMs, client, [&] {
                client->write(
                    QByteArray::fromHex("FFFA2C6500002580FFF0FFFA2C6608FFF0FFFA2C6701FFF0"
                                        "FFFA2C6801FFF0FFFA2C6901FFF0"));
            });
        });
    });
    const QByteArray address = "rfc2217://127.0.0.1:" + QByteArray::number(server.serverPort());
    SerialLayer layer;
    openOn(layer, address);
    QVERIFY(!layer.PortOpen());  // still agreeing the line
    QTest::qWait(300);
    std::optional<bool> fate;
    sendKey(layer, *findKey("mMute"), [&](bool sent) { fate = sent; });
    QTRY_VERIFY_WITH_TIMEOUT(fate.has_value(), 5000);
    QCOMPARE(*fate, confirmAfterMs >= 0);
    const QByteArray leadIn = bytes(escapeTelnetData(leadInFrame(*findKey("mMute"))));
    if (*fate) QTRY_VERIFY(heard.contains(leadIn));
    QTest::qWait(100);
    const qsizetype settingsEnd = heard.indexOf(QByteArray::fromHex("FFFA2C05"));
    const qsizetype press = heard.indexOf(leadIn);
    QVERIFY(settingsEnd > 0);
    QCOMPARE(press > settingsEnd, confirmAfterMs >= 0);
    if (confirmAfterMs < 0) QCOMPARE(press, qsizetype(-1));
}

QTEST_GUILESS_MAIN(QtSerialLayerTest)
#include "test_qt_serial_layer.moc"
