// Runs the built tolvane-projector and talks to it as the panel does.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <thread>

#include "fake_serial_layer.h"
#include "keypad_data.h"
#include "protocol/key_table.h"
#include "pty_pair.h"
#include "serial/port_manager.h"
#include "transport/serial_layer.h"

using namespace tolvane;
using namespace std::chrono_literals;
using namespace tolvane::testing;

namespace {

// Hex text from the tests' data file, which lives as long as the program.
const char* const kProbe = keypadData().probe.c_str();
const char* const kCommonLeadIn = keypadData().control("mMute").leadIn.c_str();

// Far less than a waiting entry for each probe of the flood would take (16 MiB without the
// merging); AddressSanitizer's own bookkeeping of the freed blocks adds about as much again.
#if defined(__SANITIZE_ADDRESS__)
constexpr qlonglong kFloodGrowthKib = 14 * 1024;
#else
constexpr qlonglong kFloodGrowthKib = 8 * 1024;
#endif
// A stop request is served within this, however busy the line.
constexpr std::chrono::milliseconds kPromptStop{500};

// The simulator as a child process, stdin on a pipe that stays open until closeInput().
class Simulator {
  public:
    enum class Start { Plain, Nohup, QuietOutput, OutputToFile };
    // OutputToFile: standard output goes to `output`.
    explicit Simulator(const QStringList& arguments = {}, Start how = Start::Plain,
                       const QString& output = {}) {
        process.setProgram(QStringLiteral(TOLVANE_PROJECTOR));
        process.setArguments(arguments);
        if (how == Start::OutputToFile) process.setStandardOutputFile(output);
        if (how == Start::Nohup)  // as nohup starts a program: SIGHUP ignored
            process.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        if (how == Start::QuietOutput) {
            process.setStandardOutputFile(QProcess::nullDevice());
            // Memory figures: a sanitized build would keep up to 256 MiB of freed lines.
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=4");
            process.setProcessEnvironment(env);
        }
        process.start();
    }
    ~Simulator() {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(2000)) process.kill();
        process.waitForFinished(1000);
    }

    // The next line of standard output, or an empty string when none comes in time.
    QString nextLine(std::chrono::milliseconds timeout = 2s) {
        const QDeadlineTimer deadline(timeout);
        while (!process.canReadLine() && !deadline.hasExpired())
            if (!process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                if (process.state() == QProcess::NotRunning) break;
        if (!process.canReadLine()) return {};
        return QString::fromUtf8(process.readLine()).chopped(1);
    }
    QStringList nextLines(int count) {
        QStringList lines;
        for (int i = 0; i < count; ++i) lines << nextLine();
        return lines;
    }
    // The device path, the first line.
    QString device() {
        if (device_.isEmpty()) device_ = nextLine();
        return device_;
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    void stop() {
        signal(SIGTERM);
        QVERIFY(exitedCleanly());
    }
    void closeInput() { process.closeWriteChannel(); }
    bool exitedCleanly() {
        return process.waitForFinished(3000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
    // CPU time the simulator has used so far.
    std::chrono::milliseconds cpuTime() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly)) return std::chrono::milliseconds::max();
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        const long ticks = fields.value(11).toLong() + fields.value(12).toLong();
        return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
    }

    QProcess process;

  private:
    QString device_;
};

// A plain descriptor on the terminal end, for reading exactly what the simulator answers.
class Line {
  public:
    explicit Line(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Line() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }
    void write(const std::string& hex) {
        const Bytes bytes = parseHex(hex);
        QCOMPARE(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Bytes received until `count` arrived or the time is up.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout) {
        Bytes got;
        const QDeadlineTimer deadline(timeout);
        while (got.size() < count && !deadline.hasExpired()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) continue;
            std::uint8_t buffer[256];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

  private:
    int fd_;
};

// A figure of /proc/<pid>/status, such as VmRSS, in KiB; 0 if it cannot be read.
qlonglong statusKib(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    const QRegularExpression line(QStringLiteral("%1:\\s+(\\d+) kB").arg(QLatin1String(field)));
    return line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The panel's own serial layer on COM1, pointed at the simulator.
void openPanel(SerialLayer& panel, const QString& device) {
    qputenv("TOLVANE_COM1", QFile::encodeName(device));
    panel.Settings("9600,N,8,1");
    panel.PortOpen(true);
}

}  // namespace

class ProjectorTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void keyPressesAndProbeOnePerLine();
    void badBytesAndForeignFrames();
    void probeAnswers_data();
    void probeAnswers();
    void panelClosesAndReopens();
    void chatterGoesOutAsFastAsItIsRead();
    void linkMadeAndRemoved();
    void linkRefusesToReplace_data();
    void linkRefusesToReplace();
    void stopsCleanly_data();
    void stopsCleanly();
    void probeFloodKeepsMemoryBounded();
    void stopsPromptlyDuringAFlood();
    void badOptions_data();
    void badOptions();

  private:
    QTemporaryDir dir_;
};

void ProjectorTest::initTestCase() {
    QVERIFY(QFileInfo(QStringLiteral(TOLVANE_PROJECTOR)).isExecutable());
    QVERIFY(dir_.isValid());
    // No port of the panel's layer may reach a real device, whatever a test selects.
    for (int port = 1; port <= 4; ++port)
        qputenv(QByteArray("TOLVANE_COM") + QByteArray::number(port),
                QFile::encodeName(dir_.filePath(QStringLiteral("no-com%1").arg(port))));
}

void ProjectorTest::keyPressesAndProbeOnePerLine() {
    Simulator sim;
    QVERIFY(sim.device().startsWith("/dev/pts/"));
    SerialLayer panel;
    openPanel(panel, sim.device());
    for (const char* control : {"mVolume", "m8", "mColour", "mPower_on"})
        sendKey(panel, *findKey(control));
    panel.Output(probeFrame());
    QCOMPARE(sim.nextLines(9), (QStringList{
                                   QString("lead-in ") + kCommonLeadIn,
                                   "key mVolume 01 08 B0 00 1B 93 FF 63 1A 24 6B 0E",
                                   QString("lead-in ") + kCommonLeadIn,
                                   "key m8 01 08 B0 00 1B 93 FF 63 1B 9B 24 6C 0E",
                                   QString("lead-in ") + kCommonLeadIn,
                                   "key mColour 01 08 B0 00 1B 93 FF 63 1B 8E 24 5F 0E",
                                   "lead-in power-on 01 08 80 00 1B 93 FF 63 30 24 51 0E",
                                   "key mPower_on 01 08 80 00 1B 93 FF 63 24 24 45 0E",
                                   QString("probe ") + kProbe,
                               }));
    // The panel sees the answer the way the connection check counts it.
    QTRY_COMPARE(panel.InBufferCount(), std::int16_t{1});

    // Every key is told apart by its name.
    for (const KeyCommand& key : kKeys) sendKey(panel, key);
    for (const KeyCommand& key : kKeys) {
        QVERIFY(sim.nextLine().startsWith("lead-in "));
        const QString line = sim.nextLine();
        QVERIFY2(
            line.startsWith("key " +
                            QString::fromLatin1(key.control.data(), qsizetype(key.control.size())) +
                            " 01 08 "),
            qPrintable(line));
    }
}

void ProjectorTest::badBytesAndForeignFrames() {
    Simulator sim;
    Line line(sim.device());
    QVERIFY(line.isOpen());
    line.write("AA BB");
    line.write("01 06 00 00 10 00 81 98 0E");           // probe with a wrong checksum
    line.write("01 03 AA BB 68 0E");                    // well formed, not ours
    line.write("01 08 90 00 1B 93 FF 63 30 24 61 0E");  // a lead-in with an unknown payload byte 1
    line.write("01 08 B0 00 1B 13 FF 63 1A 24 6B 0E");  // broken escape
    line.write(std::string("01 ") + kProbe);            // a lone start byte
    QCOMPARE(sim.nextLines(5), (QStringList{
                                   "bad stray AA BB",
                                   "bad checksum 01 06 00 00 10 00 81 98 0E",
                                   "frame 01 03 AA BB 68 0E",
                                   "frame 01 08 90 00 1B 93 FF 63 30 24 61 0E",
                                   "bad escape 01 08 B0 00 1B 13 FF 63 1A 24 6B 0E",
                               }));
    QCOMPARE(sim.nextLine(), QString("bad truncated 01"));
    QCOMPARE(sim.nextLine(), QString("probe ") + kProbe);
    // Only the well-formed probe is answered.
    QCOMPARE(line.read(2, 300ms), parseHex("06"));

    // A long run of garbage shows its start and its size.
    line.write(QString("55 ").repeated(100).toStdString() + kProbe);
    QCOMPARE(sim.nextLine(),
             "bad stray " + QString("55 ").repeated(64).trimmed() + " ... (100 bytes)");
    QCOMPARE(sim.nextLine(), QString("probe ") + kProbe);

    // What a pause leaves unfinished is reported without waiting for more.
    QElapsedTimer timer;
    timer.start();
    line.write("01 08 B0 00");
    QCOMPARE(sim.nextLine(), QString("bad truncated 01 08 B0 00"));
    qInfo("unfinished frame reported after %lld ms", qlonglong(timer.elapsed()));
}

void ProjectorTest::probeAnswers_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("default") << QStringList{} << "06" << 0;
    QTest::newRow("custom bytes") << QStringList{"--reply", "aa 55 0D"} << "AA 55 0D" << 0;
    QTest::newRow("pairs without blanks") << QStringList{"--reply", "0615"} << "06 15" << 0;
    QTest::newRow("delayed") << QStringList{"--reply-delay", "300"} << "06" << 300;
    QTest::newRow("silent") << QStringList{"--silent"} << "" << 0;
}

void ProjectorTest::probeAnswers() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, reply);
    QFETCH(int, delayMs);
    Simulator sim(arguments);
    Line line(sim.device());
    QVERIFY(line.isOpen());
    const Bytes expected = parseHex(reply.toStdString());

    // Silence is waited for as long as the panel's check would tolerate a slow answer.
    const auto wait = expected.empty() ? 300ms : 2s;
    QElapsedTimer timer;
    timer.start();
    line.write(kProbe);
    const Bytes first = line.read(std::max<std::size_t>(expected.size(), 1), wait);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(sim.nextLine(), QString("probe ") + kProbe);
    QCOMPARE(first, expected);
    if (!expected.empty()) qInfo("answer after %lld ms (delay %d ms)", qlonglong(elapsed), delayMs);
    if (delayMs > 0) QVERIFY2(elapsed >= delayMs - 50, qPrintable(QString::number(elapsed)));

    // Each probe gets its own answer, and a key press gets none.
    line.write(std::string(kProbe) + " " + kProbe + " " + kCommonLeadIn);
    const Bytes twice = line.read(std::max<std::size_t>(2 * expected.size(), 1), wait);
    QCOMPARE(twice, expected + expected);
    QCOMPARE(line.read(1, std::chrono::milliseconds(delayMs) + 100ms), Bytes{});
}

void ProjectorTest::panelClosesAndReopens() {
    Simulator sim;
    const KeyCommand& volume = *findKey("mVolume");
    {
        SerialLayer panel;
        openPanel(panel, sim.device());
        sendKey(panel, volume);
        QCOMPARE(sim.nextLines(2).last(),
                 QString("key mVolume 01 08 B0 00 1B 93 FF 63 1A 24 6B 0E"));
        panel.PortOpen(false);
        // Closed a second time, the way a port switch in the panel does.
        panel.PortOpen(true);
        panel.PortOpen(false);
    }

    // Nobody has the port open now: the simulator must sit still, not spin on a hang-up.
    const auto before = sim.cpuTime();
    QTest::qWait(500);
    const auto spent = sim.cpuTime() - before;
    qInfo("simulator CPU time in 500 ms with the port closed: %lld ms", qlonglong(spent.count()));
    QVERIFY(spent < 100ms);

    SerialLayer panel;
    openPanel(panel, sim.device());
    sendKey(panel, *findKey("m8"));
    panel.Output(probeFrame());
    QCOMPARE(sim.nextLines(3), (QStringList{QString("lead-in ") + kCommonLeadIn,
                                            "key m8 01 08 B0 00 1B 93 FF 63 1B 9B 24 6C 0E",
                                            QString("probe ") + kProbe}));
    QTRY_COMPARE(panel.InBufferCount(), std::int16_t{1});
    QVERIFY(sim.process.state() == QProcess::Running);
}

void ProjectorTest::chatterGoesOutAsFastAsItIsRead() {
    constexpr std::size_t kChatter = 300000;
    {
        // Read at once: every byte comes, no more, and probes are still heard and answered.
        Simulator sim({"--chatter", QString::number(kChatter)});
        Line line(sim.device());
        QVERIFY(line.isOpen());
        line.write(kProbe);
        QCOMPARE(sim.nextLine(), QString("probe ") + kProbe);
        const Bytes got = line.read(kChatter + 1, 5s);
        QCOMPARE(got.size(), kChatter + 1);  // the chatter and the answer to the probe
        QVERIFY(std::count(got.begin(), got.end(), got.front()) < 10000);  // not one value
        QCOMPARE(line.read(1, 100ms), Bytes{});
        sim.stop();
        QVERIFY(sim.process.readAllStandardError().contains("chatter: all 300000 bytes sent"));
    }
    {
        // Not read: the terminal fills up and the simulator waits, without spinning.
        Simulator sim({"--chatter", QString::number(kChatter)});
        QVERIFY(!sim.device().isEmpty());
        const auto before = sim.cpuTime();
        QTest::qWait(300);
        const auto spent = sim.cpuTime() - before;
        qInfo("simulator CPU time in 300 ms with the chatter held back: %lld ms",
              qlonglong(spent.count()));
        QVERIFY(spent < 100ms);
        sim.stop();
        const QString notes = QString::fromUtf8(sim.process.readAllStandardError());
        static const QRegularExpression held("chatter: (\\d+) of 300000 bytes sent");
        const auto match = held.match(notes);
        QVERIFY2(match.hasMatch(), qPrintable(notes));
        qInfo("chatter taken by an unread terminal: %s bytes", qPrintable(match.captured(1)));
        QVERIFY(match.captured(1).toULongLong() < kChatter);
    }
}

void ProjectorTest::linkMadeAndRemoved() {
    const QString link = dir_.filePath("projector");
    {
        Simulator sim({"--link", link});
        QVERIFY(!sim.device().isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device());
        SerialLayer panel;
        openPanel(panel, link);
        panel.Output(probeFrame());
        QCOMPARE(sim.nextLine(), QString("probe ") + kProbe);
        panel.PortOpen(false);
        sim.signal(SIGTERM);
        QVERIFY(sim.exitedCleanly());
        QVERIFY(!QFileInfo(link).isSymLink());
    }
    {
        // A stale link, as an earlier run that was killed leaves behind, is replaced.
        QVERIFY(QFile::link(dir_.filePath("gone"), link));
        Simulator sim({"--link", link});
        QVERIFY(!sim.device().isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device());
        sim.stop();
        QVERIFY(!QFileInfo(link).isSymLink());
    }
    {
        // A killed simulator's link, its terminal number since taken by another program: the
        // owner file tells it from a live foreign link, and it is replaced.
        Simulator killed({"--link", link});
        const QString device = killed.device();
        killed.signal(SIGKILL);
        QVERIFY(killed.process.waitForFinished(3000));
        std::vector<std::unique_ptr<Pty>> others;
        while (!QFileInfo::exists(device) && others.size() < 64)
            others.push_back(std::make_unique<Pty>());
        QVERIFY(QFileInfo::exists(QFileInfo(link).symLinkTarget()));
        Simulator sim({"--link", link});
        QVERIFY(!sim.device().isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device());
        sim.stop();
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(
            QDir(dir_.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
    }
    for (int i = 0; i < 5; ++i) {
        // Killed the moment its link appears: the next run, whose terminal may well get the same
        // number, still tells the link for stale.
        Simulator killed({"--link", link});
        const QDeadlineTimer appeared(3s);
        while (!QFileInfo(link).isSymLink() && !appeared.hasExpired()) QThread::usleep(100);
        killed.signal(SIGKILL);
        QVERIFY(killed.process.waitForFinished(3000));
        Simulator sim({"--link", link});
        QVERIFY(!sim.device().isEmpty());
        sim.stop();
    }
    {
        // Someone pointed the link elsewhere meanwhile: it is theirs now and stays.
        Simulator sim({"--link", link});
        QVERIFY(!sim.device().isEmpty());
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(dir_.filePath("theirs"), link));
        sim.signal(SIGTERM);
        QVERIFY(sim.exitedCleanly());
        QCOMPARE(QFileInfo(link).symLinkTarget(), dir_.filePath("theirs"));
        QVERIFY(QFile::remove(link));
    }
}

void ProjectorTest::linkRefusesToReplace_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("regular file") << "file";
    QTest::newRow("live link") << "live link";
    QTest::newRow("directory") << "directory";
    QTest::newRow("missing parent directory") << "no parent";
    QTest::newRow("a running simulator's link") << "running";
}

void ProjectorTest::linkRefusesToReplace() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString path = dir.filePath("projector");
    const QString target = dir.filePath("target");
    {
        QFile file(kind == "file" ? path : target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me\n");
    }
    if (kind == "live link") QVERIFY(QFile::link(target, path));
    if (kind == "directory") QVERIFY(QDir(dir.path()).mkdir("projector"));
    if (kind == "no parent") path = dir.filePath("missing/projector");
    std::unique_ptr<Simulator> running;
    if (kind == "running") {
        running = std::make_unique<Simulator>(QStringList{"--link", path});
        QVERIFY(!running->device().isEmpty());
    }

    Simulator sim({"--link", path});
    QVERIFY(sim.process.waitForFinished(3000));
    QCOMPARE(sim.process.exitCode(), 1);
    QCOMPARE(sim.process.readAllStandardOutput(), QByteArray());
    const QString error = QString::fromUtf8(sim.process.readAllStandardError());
    QVERIFY2(error.contains(path), qPrintable(error));

    // Nothing there was touched.
    QFile file(kind == "file" ? path : target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me\n"));
    if (kind == "live link") QCOMPARE(QFileInfo(path).symLinkTarget(), target);
    if (kind == "directory") QVERIFY(QFileInfo(path).isDir() && !QFileInfo(path).isSymLink());
    if (kind == "no parent") QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
    if (kind == "running") QCOMPARE(QFileInfo(path).symLinkTarget(), running->device());
}

void ProjectorTest::stopsCleanly_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("nohup");
    QTest::addColumn<int>("signalNumber");  // 0: end of standard input
    QTest::addColumn<bool>("stops");
    const QStringList none;
    const QStringList onEof{"--stop-on-eof"};
    QTest::newRow("SIGTERM") << none << false << SIGTERM << true;
    QTest::newRow("SIGINT") << none << false << SIGINT << true;
    QTest::newRow("SIGHUP") << none << false << SIGHUP << true;
    QTest::newRow("SIGHUP under nohup") << none << true << SIGHUP << false;
    QTest::newRow("end of input") << none << false << 0 << false;
    QTest::newRow("end of input, --stop-on-eof") << onEof << false << 0 << true;
}

// Stopping removes the link; what does not stop it leaves it running until SIGTERM does.
void ProjectorTest::stopsCleanly() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, nohup);
    QFETCH(int, signalNumber);
    QFETCH(bool, stops);
    const QString link = dir_.filePath("stopping");
    Simulator sim(QStringList{"--link", link} + arguments,
                  nohup ? Simulator::Start::Nohup : Simulator::Start::Plain);
    QVERIFY(!sim.device().isEmpty());
    QVERIFY(QFileInfo(link).isSymLink());
    if (signalNumber != 0)
        sim.signal(signalNumber);
    else
        sim.closeInput();
    if (!stops) {
        QVERIFY(!sim.process.waitForFinished(300));  // a stretch in which it must not stop
        QVERIFY(QFileInfo(link).isSymLink());
        sim.signal(SIGTERM);
    }
    QVERIFY(sim.exitedCleanly());
    QVERIFY(!QFileInfo(link).isSymLink());
}

// A flood of probes, each answered a minute later, keeps the simulator's memory bounded: the
// probes that arrive in one millisecond wait as one entry, so what waits grows with the time the
// flood takes, not with the number of probes.
void ProjectorTest::probeFloodKeepsMemoryBounded() {
    constexpr int kProbes = 1000000;
    const QString link = dir_.filePath("flooded");
    Simulator sim({"--link", link, "--reply-delay", "60000"}, Simulator::Start::QuietOutput);
    QTRY_VERIFY(QFileInfo(link).isSymLink());
    const qlonglong idleKib = statusKib(sim.process.processId(), "VmRSS");
    const int fd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const QByteArray block = QByteArray::fromHex("01060000100081970E").repeated(1000);
    for (int sent = 0; sent < kProbes; sent += 1000)
        QCOMPARE(::write(fd, block.constData(), size_t(block.size())), ssize_t(block.size()));
    // Written means taken by the terminal, not yet read: wait until the simulator has read it.
    int queued = 0;
    QTRY_VERIFY_WITH_TIMEOUT((::ioctl(fd, TIOCOUTQ, &queued), queued == 0), 30000);
    QTest::qWait(200);
    const qlonglong peakKib = statusKib(sim.process.processId(), "VmHWM");
    qInfo("simulator peak resident memory after %d delayed probes: %lld KiB (%lld KiB idle)",
          kProbes, peakKib, idleKib);
    QVERIFY(peakKib > 0 && peakKib < 50 * 1024);
    // One entry a probe would take 16 bytes each, 15 MiB in all.
    QVERIFY2(idleKib > 0 && peakKib - idleKib < kFloodGrowthKib,
             qPrintable(QString::number(peakKib - idleKib)));
    ::close(fd);
    sim.stop();
}

// SIGTERM while the panel floods the line stops the simulator at once: reading what keeps coming
// must not hold its stop requests back.
void ProjectorTest::stopsPromptlyDuringAFlood() {
    // Its lines go to a slow terminal: drained at about 4 MB/s, they hold the simulator's reading
    // below what the flood brings, so the line never runs dry.
    const QString output = dir_.filePath("slow-terminal");
    QCOMPARE(::mkfifo(QFile::encodeName(output).constData(), 0600), 0);
    const int terminal = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(terminal >= 0);
    const QString link = dir_.filePath("flooded");
    Simulator sim({"--link", link, "--silent"}, Simulator::Start::OutputToFile, output);
    QTRY_VERIFY(QFileInfo(link).isSymLink());
    const int fd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    // For at most 5 s, so that a simulator that does not stop fails the test rather than hangs it.
    std::atomic<bool> done = false;
    std::atomic<qint64> written = 0;
    std::thread flood([fd, &done, &written] {
        const QByteArray block = QByteArray::fromHex("01060000100081970E").repeated(1000);
        const QDeadlineTimer deadline(5s);
        while (!done && !deadline.hasExpired()) {
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, 10) <= 0) continue;
            const ssize_t n = ::write(fd, block.constData(), size_t(block.size()));
            if (n < 0 && errno != EAGAIN) break;
            written += std::max<ssize_t>(n, 0);
        }
    });
    std::thread drain([terminal, &done] {
        std::array<char, 4096> lines;
        while (!done) {
            [[maybe_unused]] const ssize_t n = ::read(terminal, lines.data(), lines.size());
            QThread::usleep(1000);
        }
    });
    const auto stopFlood = qScopeGuard([&] {
        done = true;
        flood.join();
        drain.join();
        if (sim.process.state() != QProcess::NotRunning) sim.process.kill();  // it may be stuck
        sim.process.waitForFinished(3000);
        ::close(fd);
        ::close(terminal);
    });
    QTRY_VERIFY(written > 200000);  // well into the flood
    QElapsedTimer stopping;
    stopping.start();
    sim.signal(SIGTERM);
    const bool stopped = sim.process.waitForFinished(int(kPromptStop.count()));
    qInfo("simulator stopped %lld ms after SIGTERM during a flood", qlonglong(stopping.elapsed()));
    QVERIFY(stopped);
    QCOMPARE(sim.process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void ProjectorTest::badOptions_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("reply not hex") << QStringList{"--reply", "zz"} << "--reply";
    QTest::newRow("reply odd digits") << QStringList{"--reply", "061"} << "--reply";
    QTest::newRow("reply empty") << QStringList{"--reply", ""} << "--reply";
    QTest::newRow("reply too long")
        << QStringList{"--reply", QString("06").repeated(257)} << "--reply";
    QTest::newRow("reply and silent") << QStringList{"--reply", "06", "--silent"} << "--silent";
    QTest::newRow("negative delay") << QStringList{"--reply-delay", "-5"} << "--reply-delay";
    QTest::newRow("delay not a number") << QStringList{"--reply-delay", "soon"} << "--reply-delay";
    QTest::newRow("delay too long") << QStringList{"--reply-delay", "60001"} << "--reply-delay";
    QTest::newRow("delay with a unit") << QStringList{"--reply-delay", "10ms"} << "--reply-delay";
    QTest::newRow("missing value") << QStringList{"--reply-delay"} << "--reply-delay";
    QTest::newRow("empty link") << QStringList{"--link", ""} << "--link";
    QTest::newRow("chatter not a number") << QStringList{"--chatter", "lots"} << "--chatter";
    QTest::newRow("chatter with a unit") << QStringList{"--chatter", "2M"} << "--chatter";
    QTest::newRow("negative chatter") << QStringList{"--chatter", "-1"} << "--chatter";
    QTest::newRow("chatter too long") << QStringList{"--chatter", "1073741825"} << "--chatter";
    QTest::newRow("unknown option") << QStringList{"--baud", "9600"} << "baud";
    QTest::newRow("stray argument") << QStringList{"extra"} << "extra";
}

void ProjectorTest::badOptions() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, mentions);
    Simulator sim(arguments);
    QVERIFY(sim.process.waitForFinished(3000));
    QCOMPARE(sim.process.exitCode(), 2);
    QCOMPARE(sim.process.readAllStandardOutput(), QByteArray());
    const QString error = QString::fromUtf8(sim.process.readAllStandardError());
    QVERIFY2(error.contains(mentions), qPrintable(error));
    QVERIFY2(error.contains("--help"), qPrintable(error));
}

QTEST_GUILESS_MAIN(ProjectorTest)
#include "test_projector.moc"
