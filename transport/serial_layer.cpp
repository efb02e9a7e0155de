#include "transport/serial_layer.h"

#include <QFile>
#include <QScopeGuard>
#include <QString>
#include <algorithm>
#include <limits>

#include "ports/port_catalogue.h"
#include "protocol/hex_text.h"
#include "transport/factory.h"
#include "transport/logging.h"

Q_LOGGING_CATEGORY(lcSerial, "tolvane.serial", QtInfoMsg)

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

SerialLayer::SerialLayer(MakeTransport make, Resolver resolve)
    : make_(make ? std::move(make) : MakeTransport(&makeTransport)),
      resolve_(resolve ? std::move(resolve) : Resolver(&addressForPort)) {}

SerialLayer::~SerialLayer() {
    release();
}

void SerialLayer::release() {
    close();
    line_.reset();
}

// "COM1 (/dev/ttyUSB0)", or "COM1" before any open.
std::string SerialLayer::label() const {
    std::string label = "COM" + std::to_string(port_);
    if (!address_.path.empty()) label += " (" + shown(address_.path).toStdString() + ")";
    return label;
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

bool SerialLayer::PortOpen() const {
    return state_ == PortState::Open && line_ && line_->isOpen();
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

void SerialLayer::takeTransport(std::unique_ptr<Transport> line) {
    line_ = std::move(line);
    line_->setEvents({[this](const std::string& reason) { lost(reason); }, [this] { feed(); },
                      [this] { reopened({}); }});
}

void SerialLayer::open() {
    if (PortOpen()) return;
    close();
    address_ = fixed_ ? *fixed_ : resolve_(port_);
    if (address_.kind == PortAddress::Kind::Invalid) refuse(address_.problem);
    state_ = PortState::Opening;
    takeTransport(make_(address_));
    try {
        line_->open(address_, settings_);
    } catch (const Transport::Failure& failure) {
        refuse(failure.what(), failure.error());
    }
    state_ = PortState::Open;
}

void SerialLayer::refuse(const std::string& reason, int error) {
    if (line_) line_->close();
    state_ = quiet_ ? PortState::Lost : PortState::Closed;
    const std::string hint = openFailureHint(address_, reason, error);
    const QString what = QStringLiteral("cannot open COM%1 \"%2\": %3")
                             .arg(port_)
                             .arg(shown(address_.path), text(reason));
    if (quiet_)
        qCDebug(lcSerial).noquote() << what;
    else
        qCWarning(lcSerial).noquote() << what + text(hint);
    throw SerialError(SerialError::Kind::Open, reason, hint);
}

bool SerialLayer::reopenLost() {
    if (PortOpen()) return true;
    if (!line_) throw SerialError(SerialError::Kind::Open, "nothing was open");
    quiet_ = true;
    const auto loud = qScopeGuard([this] { quiet_ = false; });
    const std::string was = line_->where();
    state_ = PortState::Opening;
    try {
        line_->reopen(address_, settings_);
    } catch (const Transport::Failure& failure) {
        refuse(failure.what(), failure.error());
    }
    // A try that goes on in the background says so itself when it is done.
    if (!line_->isOpen()) {
        state_ = PortState::Lost;
        return false;
    }
    reopened(was);
    return true;
}

void SerialLayer::reopened(const std::string& was) {
    state_ = PortState::Open;
    QString note;
    if (!was.empty() && was != line_->where()) note = QStringLiteral(" (was %1)").arg(text(was));
    qCInfo(lcSerial).noquote()
        << QStringLiteral("reopened COM%1 %2%3").arg(port_).arg(text(line_->where()), note);
}

void SerialLayer::lost(const std::string& reason) {
    const bool wasOpen = state_ == PortState::Open || state_ == PortState::Closing;
    dropQueue();
    if (!wasOpen) return;
    qCWarning(lcSerial).noquote() << "closing" << text(line_->where())
                                  << "after it failed or went away:" << text(reason);
    state_ = PortState::Lost;
    if (!lostHandler_) return;
    lostHandler_(line_->kind());
    qCInfo(lcSerial).noquote() << QStringLiteral("lost COM%1 %2; opening it again once it is back")
                                      .arg(port_)
                                      .arg(text(line_->where()));
}

void SerialLayer::close() {
    if (PortOpen()) {
        state_ = PortState::Closing;
        // Bytes still queued belong to a key press the user already made: let them leave first.
        writeQueued(Clock::now() + kCloseDrainTimeout);
        if (!waiting_.empty()) {
            qCWarning(lcSerial).noquote()
                << "closing" << text(line_->where()) << "with" << waiting_.size() << "frames ("
                << waitingBytes_ << "bytes) unsent: the line did not take them within"
                << kCloseDrainTimeout.count() << "ms";
            dropQueue();
        }
        // The frame on its way has its start on the line already; its end goes too.
        const auto rest = Clock::now() + kCloseDrainTimeout;
        while (line_->isOpen() && line_->bytesToWrite() > 0 && Clock::now() < rest)
            line_->waitForWritten(remainingMs(rest));
    }
    if (line_) line_->close();
    dropQueue();
    state_ = PortState::Closed;
}

void SerialLayer::dropQueue() {
    waiting_.clear();
    waitingBytes_ = 0;
}

void SerialLayer::feed() {
    if (feeding_) return;
    feeding_ = true;
    const auto done = qScopeGuard([this] { feeding_ = false; });
    while (line_ && line_->isOpen() && line_->bytesToWrite() == 0 && !waiting_.empty()) {
        const Bytes frame = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= frame.size();
        if (!line_->write(frame)) {
            // Later frames must not overtake this one: the line is given up as failed.
            qCWarning(lcSerial).noquote()
                << "closing" << text(line_->where()) << "after a write failed";
            line_->close();
            dropQueue();
            state_ = PortState::Closed;
        }
    }
}

void SerialLayer::writeQueued(Clock::time_point deadline) {
    while (line_->isOpen() && (!waiting_.empty() || line_->bytesToWrite() > 0) &&
           Clock::now() < deadline) {
        feed();
        if (line_->isOpen() && line_->bytesToWrite() > 0)
            line_->waitForWritten(remainingMs(deadline));
    }
}

void SerialLayer::notOpen(SerialError::Kind kind, std::string_view what) const {
    if (kind == SerialError::Kind::Write)
        qCWarning(lcSerial).noquote()
            << text("cannot write to " + label() + ": the port is not open");
    throw SerialError(kind, std::string(what));
}

void SerialLayer::Output(std::span<const std::uint8_t> bytes) {
    if (!PortOpen()) notOpen(SerialError::Kind::Write, "the port is not open");
    if (OutBufferCount() + bytes.size() > kOutBufferSize) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << text(line_->where()) << ":" << OutBufferCount()
            << "bytes are still waiting for the line; the frame is refused whole";
        throw SerialError(SerialError::Kind::Write, "the line has not taken the earlier frames");
    }
    waiting_.emplace_back(bytes.begin(), bytes.end());
    waitingBytes_ += bytes.size();
    qCDebug(lcSerial).noquote() << "write" << text(line_->where()) << text(toHex(bytes));
    feed();
    // A hang-up found while handing them over closes the port: the frame did not go out.
    if (!PortOpen()) throw SerialError(SerialError::Kind::Write, "the port was closed");
}

void SerialLayer::drain(std::chrono::milliseconds timeout) {
    if (!PortOpen()) notOpen(SerialError::Kind::Write, "the port is not open");
    writeQueued(Clock::now() + timeout);
    if (!PortOpen()) throw SerialError(SerialError::Kind::Write, "the port was closed");
    if (OutBufferCount() > 0) {
        qCWarning(lcSerial).noquote() << "cannot write to" << text(line_->where()) << ":"
                                      << OutBufferCount() << "bytes still wait for the line";
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
    return PortOpen() ? waitingBytes_ + std::size_t(line_->bytesToWrite()) : 0;
}

std::int16_t SerialLayer::InBufferCount() {
    if (!PortOpen()) notOpen(SerialError::Kind::Read, "the port is not open");
    return static_cast<std::int16_t>(
        std::min<qint64>(line_->bytesAvailable(), std::numeric_limits<std::int16_t>::max()));
}

void SerialLayer::InBufferCount(std::int16_t count) {
    if (!PortOpen()) notOpen(SerialError::Kind::Read, "the port is not open");
    if (count != 0) throw SerialError(SerialError::Kind::Read, "only 0 can be set");
    line_->discardInput();
}

}  // namespace tolvane
