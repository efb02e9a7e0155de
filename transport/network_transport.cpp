#include "transport/network_transport.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

#include "transport/logging.h"

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(1, left.count()));
}

}  // namespace

NetworkTransport::NetworkTransport() {
    socket_.setReadBufferSize(kSocketChunk);
    QObject::connect(&socket_, &QIODevice::readyRead, &socket_, [this] { takeReceived(); });
    QObject::connect(&socket_, &QIODevice::bytesWritten, &socket_, [this] {
        if (events().written) events().written();
    });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, &socket_,
                     [this] { dropped(socket_.errorString().toStdString()); });
    QObject::connect(&socket_, &QAbstractSocket::connected, &socket_, [this] { onConnected(); });
    QObject::connect(&socket_, &QAbstractSocket::disconnected, &socket_,
                     [this] { dropped("the server closed the connection"); });
}

NetworkTransport::~NetworkTransport() {
    close();
}

bool NetworkTransport::isOpen() const {
    return open_ && socket_.state() == QAbstractSocket::ConnectedState;
}

void NetworkTransport::apply(const LineSettings& settings) {
    settings_ = settings;
    if (isOpen() && client_) send(client_->setLine(settings_));
}

void NetworkTransport::open(const PortAddress& address, const LineSettings& settings) {
    if (address.kind == PortAddress::Kind::SerialDevice) throw Failure("not a network address");
    close();
    address_ = address;
    settings_ = settings;
    const auto deadline = Clock::now() + kConnectTimeout;
    startConnect();
    waitUntil(
        [this] {
            return socket_.state() == QAbstractSocket::ConnectedState ||
                   socket_.state() == QAbstractSocket::UnconnectedState;
        },
        deadline);
    if (socket_.state() == QAbstractSocket::UnconnectedState) {
        const std::string reason = socket_.errorString().toStdString();
        close();
        throw Failure(reason);
    }
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        close();
        throw Failure("no connection within " + std::to_string(kConnectTimeout.count()) + " ms");
    }
    finishOpen(deadline, kConnectTimeout);
}

void NetworkTransport::reopen(const PortAddress& address, const LineSettings& settings) {
    // A quiet try never holds the window up waiting for the network: it starts a connection
    // and leaves it to the system, which keeps trying by itself; the line opens as soon as the
    // server takes it (onConnected). An attempt still under way is left to go on.
    if (retrying_ && socket_.state() != QAbstractSocket::UnconnectedState) {
        qCDebug(lcSerial).noquote() << "still connecting to" << QString::fromStdString(where());
        return;
    }
    close();
    address_ = address;
    settings_ = settings;
    retrying_ = true;
    startConnect();
    qCDebug(lcSerial).noquote() << "connecting to" << QString::fromStdString(where()) << "again";
}

void NetworkTransport::onConnected() {
    if (!retrying_) return;  // an open asked for waits for this itself
    retrying_ = false;
    try {
        finishOpen(Clock::now() + kRetryConnectTimeout, kRetryConnectTimeout);
    } catch (const Failure& failure) {
        // The next quiet try starts again.
        qCDebug(lcSerial).noquote()
            << "cannot reopen" << QString::fromStdString(where()) << ":" << failure.what();
        return;
    }
    if (events().opened) events().opened();
}

void NetworkTransport::startConnect() {
    decoder_ = TelnetDecoder();
    received_.clear();
    client_.reset();
    socket_.connectToHost(QString::fromStdString(address_.host), address_.port);
}

void NetworkTransport::finishOpen(Clock::time_point deadline, std::chrono::milliseconds timeout) {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    open_ = true;
    if (address_.kind == PortAddress::Kind::Rfc2217) {
        client_.emplace(settings_);
        send(client_->start());
        waitUntil(
            [this] { return !isOpen() || client_->status() != ComPortClient::Status::Negotiating; },
            deadline);
        std::string refusal;
        if (!isOpen())
            refusal = "the server closed the connection";
        else if (client_->status() == ComPortClient::Status::Refused)
            refusal = "the server does not take line settings (RFC 2217)";
        else if (client_->status() != ComPortClient::Status::Ready)
            refusal = "the server did not confirm the line settings within " +
                      std::to_string(timeout.count()) + " ms";
        if (!refusal.empty()) {
            close();
            throw Failure(refusal);
        }
    }
    // Whatever arrived before the line was ready is not an answer to anything we sent.
    received_.clear();
    qCDebug(lcSerial).noquote() << "connected to" << QString::fromStdString(where());
}

void NetworkTransport::waitUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    if (done() || Clock::now() >= deadline) return;
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
    timer.start(remainingMs(deadline));
    // Only the socket and timers run meanwhile: a click cannot reach the port halfway open.
    while (!done() && timer.isActive()) loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void NetworkTransport::close() {
    retrying_ = false;
    if (isOpen()) {
        // The server's line gets its time (see kServerMargin); a server that closes first ends
        // the wait. Then the connection ends the orderly way, and the server gets the time to
        // see it out: a server that hears only a reset may drop what it has not yet passed on.
        const auto hold = std::chrono::ceil<std::chrono::milliseconds>(lineFreeAt_ + kServerMargin -
                                                                       Clock::now());
        const auto line =
            Clock::now() + std::clamp(hold, std::chrono::milliseconds(0), kLineHoldLimit);
        while (isOpen() && socket_.bytesToWrite() == 0 && Clock::now() < line)
            socket_.waitForDisconnected(remainingMs(line));
        open_ = false;
        socket_.disconnectFromHost();
        if (socket_.state() != QAbstractSocket::UnconnectedState)
            socket_.waitForDisconnected(int(kDisconnectTimeout.count()));
    }
    open_ = false;
    socket_.abort();
}

void NetworkTransport::dropped(const std::string& reason) {
    if (!open_) return;
    // Like a hang-up: close at once, so nothing keeps reporting and no CPU is spent.
    open_ = false;
    socket_.abort();
    if (events().lost) events().lost(reason);
}

void NetworkTransport::takeReceived() {
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
            // A server that never stops negotiating gets no more answers than a line holds.
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

void NetworkTransport::send(const Bytes& bytes) {
    if (bytes.empty()) return;
    socket_.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    socket_.flush();
}

bool NetworkTransport::write(std::span<const std::uint8_t> bytes) {
    const Bytes wire = client_ ? escapeTelnetData(bytes) : Bytes(bytes.begin(), bytes.end());
    if (socket_.write(reinterpret_cast<const char*>(wire.data()), qint64(wire.size())) !=
        qint64(wire.size()))
        return false;
    socket_.flush();
    lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + lineTime(settings_, bytes.size());
    return true;
}

void NetworkTransport::discardInput() {
    takeReceived();
    received_.clear();
}

}  // namespace tolvane
