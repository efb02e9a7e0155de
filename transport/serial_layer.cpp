#include "transport/serial_layer.h"

#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "ports/port_catalogue.h"
#include "protocol/hex_text.h"
#include "transport/logging.h"

Q_LOGGING_CATEGORY(lcSerial, "tolvane.serial", QtInfoMsg)

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;

// The longest the end of the program waits for departing ports: their own bounds come first.
constexpr std::chrono::milliseconds kDepartureLimit{4000};

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(1, left.count()));
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// A device name or address as a message quotes it: as the system decodes names, cut short.
QString shown(const std::string& name) {
    return QFile::decodeName(QByteArray::fromStdString(name)).left(80);
}

void warnGoneAway(const std::string& where, const std::string& reason) {
    qCWarning(lcSerial).noquote() << "closing" << text(where)
                                  << "after it failed or went away:" << text(reason);
}

// Tells each press its fate; returns how many there were.
template <typename Presses>
std::size_t tell(Presses& presses, bool sent) {
    const std::size_t count = presses.size();
    while (!presses.empty()) {
        auto press = std::move(presses.front());
        presses.pop_front();
        if (press.fate) press.fate(sent);
    }
    return count;
}

}  // namespace

template <typename Line>
bool SerialLayer::Presses::feed(Line line) {
    for (Transport* to = line(); to && to->bytesToWrite() == 0; to = line()) {
        // All handed over is with the system now.
        tell(handed, true);
        to = line();
        if (!to || waiting.empty() || !to->roomFor(waiting.front().bytes)) break;
        // Handed over before it is written: a hang-up found by a write tells its fate too and
        // takes it away, so its frames are taken out of it first.
        handed.push_back(std::move(waiting.front()));
        waiting.pop_front();
        waitingBytes -= handed.back().bytes;
        const std::vector<Bytes> frames = std::move(handed.back().frames);
        for (const Bytes& frame : frames)
            if (!to->write(frame)) return false;
    }
    return true;
}

std::size_t SerialLayer::Presses::withdrawWaiting() {
    waitingBytes = 0;
    return tell(waiting, false);
}

std::size_t SerialLayer::Presses::withdrawAll() {
    return tell(handed, false) + withdrawWaiting();
}

// A closed port's transport with the presses it had: it sends on for kCloseDrainTimeout,
// withdraws what has not begun, lets the press begun finish, holds the line as the transport
// needs, closes the orderly way, and goes.
class Departure {
  public:
    Departure(SerialLayer& owner, std::unique_ptr<Transport> line, SerialLayer::Presses presses)
        : owner_(owner), line_(std::move(line)), presses_(std::move(presses)) {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        line_->setEvents({[this](const std::string& reason) {
                              warnGoneAway(line_->where(), reason);
                              presses_.withdrawAll();
                              done();
                          },
                          [this] { feed(); },
                          {},
                          {}});
        QObject::connect(&timer_, &QTimer::timeout, [this] { giveUp(); });
        timer_.start(kCloseDrainTimeout);
        // Not from here: the owner has not taken this yet.
        QTimer::singleShot(0, &timer_, [this] { feed(); });
    }
    ~Departure() { hurry(); }

    // Ends at once what is left: for a program that is ending, or a port opened again.
    void hurry() {
        if (!line_) return;
        presses_.withdrawAll();
        line_->close();
        line_.reset();
    }
    // The device or address it is leaving; empty once it has gone.
    std::string where() const { return line_ ? line_->where() : std::string(); }

  private:
    Transport* usable() const { return line_ && line_->isOpen() ? line_.get() : nullptr; }

    void feed() {
        if (feeding_ || closing_ || !usable()) return;
        feeding_ = true;
        presses_.feed([this] { return usable(); });
        feeding_ = false;
        // All sent, or withdrawn: the line is held as it needs, then closed.
        if (usable() && line_->bytesToWrite() == 0 && presses_.empty()) settle();
    }

    void giveUp() {
        if (closing_) return finish();
        if (!givenUp_) {
            givenUp_ = true;
            if (!presses_.waiting.empty())
                qCWarning(lcSerial).noquote()
                    << "closing" << text(line_->where()) << "with" << presses_.waiting.size()
                    << "presses (" << presses_.waitingBytes
                    << "bytes) unsent: the line did not take them within"
                    << kCloseDrainTimeout.count() << "ms; they are withdrawn";
            presses_.withdrawWaiting();
            // The press begun gets as long again to finish.
            if (!presses_.handed.empty()) return timer_.start(kCloseDrainTimeout);
            return settle();
        }
        // The line took nothing more: the press begun could not be finished.
        presses_.withdrawAll();
        finish();
    }

    void settle() {
        const auto hold = line_->holdBeforeClose();
        closing_ = true;
        if (hold.count() <= 0) return finish();
        timer_.start(hold);
    }

    void finish() {
        closing_ = true;
        timer_.stop();
        line_->closeGently([this] { done(); });
    }

    void done() {
        timer_.stop();
        // Not from inside the transport's own event.
        QTimer::singleShot(0, &timer_, [owner = &owner_, self = this] {
            owner->departures_.remove_if([self](const auto& d) { return d.get() == self; });
        });
    }

    SerialLayer& owner_;
    std::unique_ptr<Transport> line_;
    SerialLayer::Presses presses_;
    QTimer timer_;
    bool feeding_ = false;
    bool givenUp_ = false;
    bool closing_ = false;
};

SerialLayer::SerialLayer(MakeTransport make, Resolver resolve)
    : make_(std::move(make)), resolve_(resolve ? std::move(resolve) : Resolver(&addressForPort)) {}

SerialLayer::~SerialLayer() {
    release();
}

void SerialLayer::release() {
    close();
    finishDepartures();
    line_.reset();
}

void SerialLayer::finishDepartures() {
    // What was queued before a close still gets its time, as it would with the program running.
    const auto limit = Clock::now() + kDepartureLimit;
    QEventLoop loop;
    while (!departures_.empty() && Clock::now() < limit) {
        QTimer::singleShot(remainingMs(limit), &loop, &QEventLoop::quit);
        loop.processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }
    for (auto& departure : departures_) departure->hurry();
    departures_.clear();
}

void SerialLayer::CommPort(std::int16_t port) {
    if (port < 1) throw SerialError(SerialError::Kind::Open, "invalid port number");
    port_ = port;
}

void SerialLayer::Settings(std::string_view settings) {
    try {
        settings_ = parseLineSettings(settings);
    } catch (const std::invalid_argument& e) {
        qCWarning(lcSerial) << "invalid line settings:" << e.what();
        throw SerialError(SerialError::Kind::Settings, e.what());
    }
    if (PortOpen()) line_->apply(settings_);
}

void SerialLayer::PortOpen(bool open) {
    if (open)
        this->open();
    else
        close();
}

std::string SerialLayer::describePort(std::int16_t port) const {
    return describeAddress(resolve_(port));
}

void SerialLayer::open() {
    if (PortOpen()) return;
    close();
    address_ = fixed_ ? *fixed_ : resolve_(port_);
    openFailure_.reset();
    // The same port chosen again while it still sends what was queued before: it is this
    // open's now, so what has not begun is withdrawn.
    departures_.remove_if([this](const std::unique_ptr<Departure>& departure) {
        if (departure->where() != address_.path) return false;
        departure->hurry();
        return true;
    });
    if (address_.kind == PortAddress::Kind::Invalid)
        throw failed(Transport::Failure(address_.problem));
    state_ = PortState::Opening;
    try {
        // A transport that cannot be made (tolvane-send without its module) fails the open.
        line_ = make_(address_);
    } catch (const Transport::Failure& failure) {
        throw failed(failure);
    }
    line_->setEvents({[this](const std::string& reason) { lost(reason); }, [this] { feed(); },
                      [this] { onOpened(); },
                      [this](const Transport::Failure& failure) { onFailed(failure); }});
    start();
}

// Opens the line, or tries again to (state_ says which): at once, or in the background.
void SerialLayer::start() {
    try {
        if (state_ == PortState::Reopening)
            line_->reopen(address_, settings_);
        else
            line_->open(address_, settings_);
    } catch (const Transport::Failure& failure) {
        throw failed(failure);
    }
    if (line_->isOpen()) onOpened();
}

// An open or a retry that failed: logged, and the port closed, or still lost.
SerialError SerialLayer::failed(const Transport::Failure& failure) {
    std::vector<std::string> hints = openFailureHints(address_, failure.error);
    const QString what = QStringLiteral("cannot open COM%1 \"%2\": %3")
                             .arg(port_)
                             .arg(shown(address_.path), text(failure.what()));
    if (state_ == PortState::Reopening)  // a retry: failures are debug lines only
        qCDebug(lcSerial).noquote() << what;
    else
        qCWarning(lcSerial).noquote() << what + text(joinHints(hints));
    state_ = state_ == PortState::Reopening ? PortState::Lost : PortState::Closed;
    return SerialError(SerialError::Kind::Open, failure.what(), std::move(hints));
}

void SerialLayer::onOpened() {
    if (state_ != PortState::Opening && state_ != PortState::Reopening) return;
    const bool reopened = state_ == PortState::Reopening;
    state_ = PortState::Open;
    if (reopened) {
        QString note;
        if (!wasBefore_.empty() && wasBefore_ != line_->where())
            note = QStringLiteral(" (was %1)").arg(text(wasBefore_));
        qCInfo(lcSerial).noquote()
            << QStringLiteral("reopened COM%1 %2%3").arg(port_).arg(text(line_->where()), note);
    } else if (openHandler_) {
        openHandler_(nullptr);
    }
    feed();
}

void SerialLayer::awaitOpen() {
    QEventLoop loop;
    while (state_ == PortState::Opening) loop.processEvents(QEventLoop::WaitForMoreEvents);
    if (!PortOpen() && openFailure_) throw *openFailure_;
    if (!PortOpen()) notOpen(SerialError::Kind::Open);
}

void SerialLayer::onFailed(const Transport::Failure& failure) {
    if (state_ != PortState::Opening && state_ != PortState::Reopening) return;
    const bool retry = state_ == PortState::Reopening;
    const SerialError error = failed(failure);
    if (retry) return;
    openFailure_ = error;
    // Presses made while it opened go nowhere.
    presses_.withdrawWaiting();
    if (openHandler_) openHandler_(&error);
}

bool SerialLayer::reopenLost() {
    if (PortOpen()) return true;
    if (state_ == PortState::Opening || state_ == PortState::Reopening) {
        qCDebug(lcSerial).noquote() << "still connecting to" << text(line_->where());
        return false;
    }
    if (!line_ || state_ != PortState::Lost)
        throw SerialError(SerialError::Kind::Open, "nothing was lost");
    wasBefore_ = line_->where();
    state_ = PortState::Reopening;
    start();
    return PortOpen();
}

void SerialLayer::lost(const std::string& reason) {
    if (state_ != PortState::Open) return;
    state_ = PortState::Lost;
    // What was meant for this line never goes to the one plugged in next.
    const std::size_t withdrawn = presses_.withdrawAll();
    warnGoneAway(line_->where(), reason);
    if (withdrawn > 0)
        qCInfo(lcSerial).noquote()
            << withdrawn << "presses on" << text(line_->where()) << "were withdrawn";
    if (!lostHandler_) return;
    lostHandler_(line_->kind());
    qCInfo(lcSerial).noquote() << QStringLiteral("lost COM%1 %2; opening it again once it is back")
                                      .arg(port_)
                                      .arg(text(line_->where()));
}

void SerialLayer::close() {
    if (state_ == PortState::Open &&
        (!presses_.empty() || line_->bytesToWrite() > 0 || line_->holdBeforeClose().count() > 0)) {
        // The presses queued belong to this port: it sends them on in the background.
        departures_.push_back(
            std::make_unique<Departure>(*this, std::move(line_), std::exchange(presses_, {})));
    } else if (line_) {
        line_->close();
    }
    // A close during an open: the presses waiting for it go nowhere.
    presses_.withdrawAll();
    state_ = PortState::Closed;
}

void SerialLayer::feed() {
    if (feeding_) return;
    feeding_ = true;
    const bool written =
        presses_.feed([this] { return state_ == PortState::Open ? line_.get() : nullptr; });
    if (!written && state_ == PortState::Open) {
        // Later frames must not overtake this one: the line is given up as failed.
        qCWarning(lcSerial).noquote()
            << "closing" << text(line_->where()) << "after a write failed";
        line_->close();
        state_ = PortState::Closed;
        presses_.withdrawAll();
    }
    feeding_ = false;
}

void SerialLayer::notOpen(SerialError::Kind kind) const {
    // "COM1 (/dev/ttyUSB0)", or "COM1" before any open.
    QString label = QStringLiteral("COM%1").arg(port_);
    if (!address_.path.empty()) label += " (" + shown(address_.path) + ")";
    if (kind == SerialError::Kind::Write)
        qCWarning(lcSerial).noquote() << "cannot write to " + label + ": the port is not open";
    throw SerialError(kind, "the port is not open");
}

SerialLayer::PressId SerialLayer::press(std::vector<Bytes> frames, Fate fate) {
    // A press made while the port opens waits for it; one made while it is lost fails.
    if (state_ != PortState::Open && state_ != PortState::Opening)
        notOpen(SerialError::Kind::Write);
    std::size_t bytes = 0;
    for (const Bytes& frame : frames) bytes += frame.size();
    if (OutBufferCount() + bytes > kOutBufferSize) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << text(line_->where()) << ":" << OutBufferCount()
            << "bytes are still waiting for the line; the press is refused whole";
        throw SerialError(SerialError::Kind::Write, "the line has not taken the earlier frames");
    }
    for (const Bytes& frame : frames)
        qCDebug(lcSerial).noquote() << "write" << text(line_->where()) << text(toHex(frame));
    // A hang-up found while handing it over withdraws it at once: the caller hears that too.
    auto withdrawnAtOnce = std::make_shared<bool>(false);
    const PressId id = nextId_++;
    presses_.waiting.push_back(
        {id, std::move(frames), bytes, [withdrawnAtOnce, fate = std::move(fate)](bool sent) {
             *withdrawnAtOnce = !sent;
             if (fate) fate(sent);
         }});
    presses_.waitingBytes += bytes;
    feed();
    if (*withdrawnAtOnce) throw SerialError(SerialError::Kind::Write, "the port was closed");
    *withdrawnAtOnce = false;
    return id;
}

bool SerialLayer::withdraw(PressId id) {
    auto& waiting = presses_.waiting;
    const auto it =
        std::find_if(waiting.begin(), waiting.end(), [id](const Press& p) { return p.id == id; });
    if (it == waiting.end()) return false;
    Press press = std::move(*it);
    waiting.erase(it);
    presses_.waitingBytes -= press.bytes;
    if (press.fate) press.fate(false);
    return true;
}

void SerialLayer::drain(std::chrono::milliseconds timeout) {
    if (!PortOpen()) notOpen(SerialError::Kind::Write);
    const auto deadline = Clock::now() + timeout;
    while (PortOpen() && OutBufferCount() > 0 && Clock::now() < deadline) {
        feed();
        if (PortOpen() && line_->bytesToWrite() > 0) line_->waitForWritten(remainingMs(deadline));
    }
    feed();
    if (!PortOpen()) throw SerialError(SerialError::Kind::Write, "the port was closed");
    if (OutBufferCount() > 0) {
        qCWarning(lcSerial).noquote() << "cannot write to" << text(line_->where()) << ":"
                                      << OutBufferCount() << "bytes still wait for the line";
        // Reported as failed: never sent later.
        presses_.withdrawWaiting();
        throw SerialError(SerialError::Kind::Write, "the line did not take the bytes within " +
                                                        std::to_string(timeout.count()) + " ms");
    }
    try {
        line_->finishWrites();
    } catch (const Transport::Failure& failure) {
        throw SerialError(SerialError::Kind::Write, failure.what());
    }
}

std::size_t SerialLayer::OutBufferCount() const {
    if (state_ == PortState::Opening) return presses_.waitingBytes;
    return PortOpen() ? presses_.waitingBytes + std::size_t(line_->bytesToWrite()) : 0;
}

std::int16_t SerialLayer::InBufferCount() {
    // Nothing has come before the port is open; a check made meanwhile waits as a press does.
    if (state_ == PortState::Opening) return 0;
    if (!PortOpen()) notOpen(SerialError::Kind::Read);
    return static_cast<std::int16_t>(
        std::min<qint64>(line_->bytesAvailable(), std::numeric_limits<std::int16_t>::max()));
}

void SerialLayer::InBufferCount(std::int16_t count) {
    if (state_ == PortState::Opening && count == 0) return;
    if (!PortOpen()) notOpen(SerialError::Kind::Read);
    if (count != 0) throw SerialError(SerialError::Kind::Read, "only 0 can be set");
    line_->discardInput();
}

}  // namespace tolvane
