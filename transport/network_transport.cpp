#include "transport/network_transport.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <stdexcept>

#include "protocol/hex_text.h"
#include "transport/device_transport.h"
#include "transport/logging.h"

namespace tolvane {
namespace {

ComPortClient::Line lineFor(const LineSettings& settings) {
    using P = ComPortClient::Parity;
    using S = ComPortClient::StopBits;
    ComPortClient::Line line;
    line.baud = static_cast<std::uint32_t>(settings.baud);
    line.dataBits = static_cast<std::uint8_t>(settings.dataBits);
    switch (settings.parity) {
        case LineSettings::Parity::None:
            line.parity = P::None;
            break;
        case LineSettings::Parity::Odd:
            line.parity = P::Odd;
            break;
        case LineSettings::Parity::Even:
            line.parity = P::Even;
            break;
        case LineSettings::Parity::Mark:
            line.parity = P::Mark;
            break;
        case LineSettings::Parity::Space:
            line.parity = P::Space;
            break;
    }
    switch (settings.stopBits) {
        case LineSettings::StopBits::One:
            line.stopBits = S::One;
            break;
        case LineSettings::StopBits::OneAndHalf:
            line.stopBits = S::OneAndHalf;
            break;
        case LineSettings::StopBits::Two:
            line.stopBits = S::Two;
            break;
    }
    return line;
}

}  // namespace

NetSerialLayer::NetSerialLayer(Resolver resolve) : resolve_(std::move(resolve)) {
    socket_.setReadBufferSize(kSocketChunk);
    QObject::connect(&socket_, &QIODevice::readyRead, &socket_, [this] { takeReceived(); });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, &socket_,
                     [this] { lost(socket_.errorString()); });
    QObject::connect(&socket_, &QAbstractSocket::connected, &socket_, [this] { onConnected(); });
    QObject::connect(&socket_, &QAbstractSocket::disconnected, &socket_,
                     [this] { lost(QStringLiteral("the server closed the connection")); });
}

NetSerialLayer::~NetSerialLayer() {
    close();
}

void NetSerialLayer::CommPort(std::int16_t port) {
    if (port < 1) throw SerialError(SerialError::Kind::Open, "invalid port number");
    port_ = port;
}

void NetSerialLayer::Settings(std::string_view settings) {
    try {
        settings_ = parseLineSettings(settings);
    } catch (const std::invalid_argument& e) {
        qCWarning(lcSerial) << "invalid line settings:" << e.what();
        throw SerialError(SerialError::Kind::Settings, e.what());
    }
    if (PortOpen() && client_) send(client_->setLine(lineFor(settings_)));
}

bool NetSerialLayer::PortOpen() const {
    return open_ && socket_.state() == QAbstractSocket::ConnectedState;
}

void NetSerialLayer::PortOpen(bool open) {
    if (open)
        this->open();
    else
        close();
}

void NetSerialLayer::refuse(const QString& reason) {
    open_ = false;
    socket_.abort();
    const QString what =
        QStringLiteral("cannot open COM%1 \"%2\": %3").arg(port_).arg(where_, reason);
    if (quiet_)
        qCDebug(lcSerial).noquote() << what;
    else
        qCWarning(lcSerial).noquote() << what;
    throw SerialError(SerialError::Kind::Open, reason.toStdString());
}

void NetSerialLayer::open() {
    if (PortOpen()) return;
    close();
    address_ = resolve_(port_);
    where_ = QString::fromStdString(address_.path).left(80);
    using Kind = PortAddress::Kind;
    if (address_.kind == Kind::Invalid) refuse(QString::fromStdString(address_.problem));
    if (address_.kind == Kind::SerialDevice) refuse(QStringLiteral("not a network address"));
    connectTo(kConnectTimeout);
}

void NetSerialLayer::reopenLost() {
    if (PortOpen()) return;
    quiet_ = true;
    const auto loud = qScopeGuard([this] { quiet_ = false; });
    // A quiet try never holds the window up waiting for the network: it starts a connection
    // and leaves it to the system, which keeps trying by itself; the port opens as soon as the
    // server takes it (onConnected). An attempt still under way is left to go on.
    if (retrying_ && socket_.state() != QAbstractSocket::UnconnectedState) {
        qCDebug(lcSerial).noquote() << "still connecting to" << where_;
        throw SerialError(SerialError::Kind::Open, "still connecting");
    }
    close();
    retrying_ = true;
    startConnect();
    qCDebug(lcSerial).noquote() << "connecting to" << where_ << "again";
    throw SerialError(SerialError::Kind::Open, "connecting");
}

void NetSerialLayer::onConnected() {
    if (!retrying_) return;  // an open the user asked for waits for this itself
    retrying_ = false;
    quiet_ = true;
    opening_ = true;
    const auto done = qScopeGuard([this] { quiet_ = opening_ = false; });
    try {
        finishOpen(QDeadlineTimer(kRetryConnectTimeout), kRetryConnectTimeout);
        qCInfo(lcSerial).noquote() << QStringLiteral("reopened COM%1 %2").arg(port_).arg(where_);
    } catch (const SerialError&) {
        // Said at debug level by refuse(); the next quiet try starts again.
    }
}

void NetSerialLayer::startConnect() {
    decoder_ = TelnetDecoder();
    received_.clear();
    client_.reset();
    socket_.connectToHost(QString::fromStdString(address_.host), address_.port);
}

void NetSerialLayer::connectTo(std::chrono::milliseconds timeout) {
    opening_ = true;
    const auto opened = qScopeGuard([this] { opening_ = false; });
    const QDeadlineTimer deadline(timeout);
    startConnect();
    waitUntil(
        [this] {
            return socket_.state() == QAbstractSocket::ConnectedState ||
                   socket_.state() == QAbstractSocket::UnconnectedState;
        },
        std::chrono::milliseconds(deadline.remainingTime()));
    if (socket_.state() == QAbstractSocket::UnconnectedState) refuse(socket_.errorString());
    if (socket_.state() != QAbstractSocket::ConnectedState)
        refuse(QStringLiteral("no connection within %1 ms").arg(timeout.count()));
    finishOpen(deadline, timeout);
}

void NetSerialLayer::finishOpen(const QDeadlineTimer& deadline, std::chrono::milliseconds timeout) {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    open_ = true;
    if (address_.kind == PortAddress::Kind::Rfc2217) {
        client_.emplace(lineFor(settings_));
        send(client_->start());
        waitUntil(
            [this] {
                return !PortOpen() || client_->status() != ComPortClient::Status::Negotiating;
            },
            std::chrono::milliseconds(deadline.remainingTime()));
        if (!PortOpen()) refuse(QStringLiteral("the server closed the connection"));
        if (client_->status() == ComPortClient::Status::Refused)
            refuse(QStringLiteral("the server does not take line settings (RFC 2217)"));
        if (client_->status() != ComPortClient::Status::Ready)
            refuse(QStringLiteral("the server did not confirm the line settings within %1 ms")
                       .arg(timeout.count()));
    }
    // Whatever arrived before the port was ready is not an answer to anything we sent.
    received_.clear();
    qCDebug(lcSerial).noquote() << "connected to" << where_;
}

void NetSerialLayer::waitUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds deadline) {
    if (done() || deadline.count() <= 0) return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may end a 3 s bound up to 150 ms early.
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto check = [&] {
        if (done()) loop.quit();
    };
    QObject::connect(&socket_, &QAbstractSocket::stateChanged, &loop, check);
    QObject::connect(&socket_, &QIODevice::readyRead, &loop, check);
    timer.start(deadline);
    // Only the socket and timers run meanwhile: a click cannot reach the port halfway open.
    while (!done() && timer.isActive()) loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void NetSerialLayer::close() {
    retrying_ = false;
    if (PortOpen()) {
        // Bytes still queued belong to a key press the user already made: let them leave first,
        // then end the connection the orderly way and give the server the same time to see it
        // out. A server that hears only a reset may drop what it has not yet passed to its line.
        const QDeadlineTimer deadline(kCloseDrainTimeout);
        while (PortOpen() && socket_.bytesToWrite() > 0 && !deadline.hasExpired())
            socket_.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
        // Then the server's line gets its time (see kServerMargin); a server that closes first
        // ends the wait.
        const auto hold = std::chrono::ceil<std::chrono::milliseconds>(
            lineFreeAt_ + kServerMargin - std::chrono::steady_clock::now());
        const QDeadlineTimer line(std::clamp(hold, std::chrono::milliseconds(0), kLineHoldLimit));
        while (PortOpen() && socket_.bytesToWrite() == 0 && !line.hasExpired())
            socket_.waitForDisconnected(int(std::max<qint64>(1, line.remainingTime())));
        open_ = false;
        socket_.disconnectFromHost();
        if (socket_.state() != QAbstractSocket::UnconnectedState)
            socket_.waitForDisconnected(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    open_ = false;
    socket_.abort();
}

void NetSerialLayer::drain(std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    while (PortOpen() && socket_.bytesToWrite() > 0 && !deadline.hasExpired())
        socket_.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
    if (!PortOpen()) throw SerialError(SerialError::Kind::Write, "the connection was closed");
    if (socket_.bytesToWrite() > 0) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << where_ << ":" << socket_.bytesToWrite()
            << "bytes still wait for the server";
        throw SerialError(SerialError::Kind::Write, "the server did not take the bytes within " +
                                                        std::to_string(timeout.count()) + " ms");
    }
}

void NetSerialLayer::lost(const QString& reason) {
    if (!open_) return;
    // Like a hang-up: close at once, so nothing keeps reporting and no CPU is spent.
    qCWarning(lcSerial).noquote() << "closing" << where_
                                  << "after it failed or went away:" << reason;
    open_ = false;
    socket_.abort();
    if (!opening_ && reportLost(Transport::Network))
        qCInfo(lcSerial).noquote()
            << QStringLiteral("lost COM%1 %2; opening it again once it is back")
                   .arg(port_)
                   .arg(where_);
}

void NetSerialLayer::takeReceived() {
    char chunk[kSocketChunk];
    while (socket_.bytesAvailable() > 0) {
        const qint64 n = socket_.read(chunk, sizeof chunk);
        if (n <= 0) break;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk);
        Bytes data;
        if (client_) {
            std::vector<TelnetEvent> events;
            decoder_.feed({bytes, std::size_t(n)}, data, events);
            Bytes answers;
            for (const TelnetEvent& event : events) {
                const Bytes answer = client_->onEvent(event);
                answers.insert(answers.end(), answer.begin(), answer.end());
            }
            // A server that never stops negotiating gets no more answers than the line holds.
            if (!answers.empty() && socket_.bytesToWrite() < qint64(kOutBufferSize)) send(answers);
        } else {
            data.assign(bytes, bytes + n);
        }
        // A chatty device cannot make the panel grow; the bytes kept are the oldest.
        const qsizetype room = kReceiveBufferSize - received_.size();
        received_.append(reinterpret_cast<const char*>(data.data()),
                         std::min<qsizetype>(room, qsizetype(data.size())));
    }
}

void NetSerialLayer::send(const Bytes& bytes) {
    if (bytes.empty()) return;
    socket_.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    socket_.flush();
}

void NetSerialLayer::Output(std::span<const std::uint8_t> bytes) {
    if (!PortOpen()) {
        qCWarning(lcSerial).noquote() << "cannot write to COM" + QString::number(port_) +
                                             (where_.isEmpty() ? QString() : " (" + where_ + ")") +
                                             ": the port is not open";
        throw SerialError(SerialError::Kind::Write, "the port is not open");
    }
    const Bytes wire = client_ ? escapeTelnetData(bytes) : Bytes(bytes.begin(), bytes.end());
    if (OutBufferCount() + wire.size() > kOutBufferSize) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << where_ << ":" << OutBufferCount()
            << "bytes are still waiting for the line; the frame is refused whole";
        throw SerialError(SerialError::Kind::Write, "the line has not taken the earlier frames");
    }
    qCDebug(lcSerial).noquote() << "write" << where_ << QString::fromStdString(toHex(bytes));
    const qint64 queued =
        socket_.write(reinterpret_cast<const char*>(wire.data()), qint64(wire.size()));
    if (queued != qint64(wire.size())) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << where_ << ":" << socket_.errorString();
        lost(socket_.errorString());
        throw SerialError(SerialError::Kind::Write, "the connection failed");
    }
    socket_.flush();
    const auto now = std::chrono::steady_clock::now();
    lineFreeAt_ = std::max(lineFreeAt_, now) + lineTime(settings_, bytes.size());
    // A closed connection found while handing them over closes the port: the frame did not go out.
    if (!PortOpen()) throw SerialError(SerialError::Kind::Write, "the connection was closed");
}

std::size_t NetSerialLayer::OutBufferCount() const {
    return PortOpen() ? std::size_t(socket_.bytesToWrite()) : 0;
}

std::int16_t NetSerialLayer::InBufferCount() {
    if (!PortOpen()) throw SerialError(SerialError::Kind::Read, "the port is not open");
    return static_cast<std::int16_t>(
        std::min<qsizetype>(received_.size(), std::numeric_limits<std::int16_t>::max()));
}

void NetSerialLayer::InBufferCount(std::int16_t count) {
    if (!PortOpen()) throw SerialError(SerialError::Kind::Read, "the port is not open");
    if (count != 0) throw SerialError(SerialError::Kind::Read, "only 0 can be set");
    // What the socket holds already is discarded too, as a serial port's input would be; the
    // Telnet commands in it are still answered.
    takeReceived();
    received_.clear();
}

RoutingSerialLayer::RoutingSerialLayer(NetSerialLayer::Resolver resolve,
                                       std::unique_ptr<SerialLayer> serial,
                                       std::unique_ptr<SerialLayer> network)
    : resolve_(std::move(resolve)),
      serial_(std::move(serial)),
      network_(std::move(network)),
      active_(serial_.get()) {}

void RoutingSerialLayer::CommPort(std::int16_t port) {
    serial_->CommPort(port);
    network_->CommPort(port);
}

void RoutingSerialLayer::setLostHandler(LostHandler handler) {
    serial_->setLostHandler(handler);
    network_->setLostHandler(std::move(handler));
}

void RoutingSerialLayer::Settings(std::string_view settings) {
    serial_->Settings(settings);
    network_->Settings(settings);
}

void RoutingSerialLayer::PortOpen(bool open) {
    if (!open || active_->PortOpen()) return active_->PortOpen(open);
    const bool local = resolve_(active_->CommPort()).kind == PortAddress::Kind::SerialDevice;
    active_ = local ? serial_.get() : network_.get();
    active_->PortOpen(true);
}

}  // namespace tolvane
