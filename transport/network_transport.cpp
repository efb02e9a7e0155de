#include "transport/network_transport.h"

#include <algorithm>

#include "transport/logging.h"

namespace tolvane {

using Clock = std::chrono::steady_clock;

NetworkTransport::NetworkTransport() {
    socket_.setReadBufferSize(kSocketChunk);
    deadline_.setSingleShot(true);
    // A coarse timer may end a 3 s bound up to 150 ms early.
    deadline_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline_, &QTimer::timeout, &socket_, [this] {
        if (closed_) return close();
        const auto bound = retry_ ? kRetryConnectTimeout : kConnectTimeout;
        fail((socket_.state() != QAbstractSocket::ConnectedState
                  ? "no connection"
                  : "the server did not confirm the line settings") +
             (" within " + std::to_string(bound.count()) + " ms"));
    });
    QObject::connect(&socket_, &QIODevice::readyRead, &socket_, [this] { takeReceived(); });
    QObject::connect(&socket_, &QIODevice::bytesWritten, &socket_, [this] {
        if (open_ && events().written) events().written();
    });
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, &socket_,
                     [this](QAbstractSocket::SocketError error) {
                         // A look at the socket that found nothing (discardInput) is no failure.
                         if (error != QAbstractSocket::SocketTimeoutError)
                             dropped(socket_.errorString().toStdString());
                     });
    QObject::connect(&socket_, &QAbstractSocket::connected, &socket_, [this] { onConnected(); });
    QObject::connect(&socket_, &QAbstractSocket::disconnected, &socket_,
                     [this] { dropped("the server closed the connection"); });
}

NetworkTransport::~NetworkTransport() {
    closed_ = nullptr;
    close();
}

void NetworkTransport::apply(const LineSettings& settings) {
    settings_ = settings;
    if (isOpen() && client_) send(client_->setLine(settings_));
}

void NetworkTransport::open(const PortAddress& address, const LineSettings& settings) {
    if (address.kind == PortAddress::Kind::SerialDevice) throw Failure("not a network address");
    retry_ = false;
    start(address, settings);
    deadline_.start(kConnectTimeout);
}

void NetworkTransport::reopen(const PortAddress& address, const LineSettings& settings) {
    // A quiet try never waits for the network: it starts a connection and leaves it to the
    // system; the line opens as soon as the server takes it and confirms the line.
    if (opening_ && socket_.state() != QAbstractSocket::UnconnectedState) {
        qCDebug(lcSerial).noquote() << "still connecting to" << QString::fromStdString(where());
        return;
    }
    retry_ = true;
    start(address, settings);
    qCDebug(lcSerial).noquote() << "connecting to" << QString::fromStdString(where()) << "again";
}

void NetworkTransport::start(const PortAddress& address, const LineSettings& settings) {
    close();
    address_ = address;
    settings_ = settings;
    decoder_ = TelnetDecoder();
    received_.clear();
    client_.reset();
    opening_ = true;
    socket_.connectToHost(QString::fromStdString(address_.host), address_.port);
}

void NetworkTransport::onConnected() {
    if (!opening_) return;
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (retry_) deadline_.start(kRetryConnectTimeout);
    if (address_.kind != PortAddress::Kind::Rfc2217) return negotiated();
    client_.emplace(settings_);
    send(client_->start());
}

// Connected, and with RFC 2217 the line confirmed: the line is open.
void NetworkTransport::negotiated() {
    deadline_.stop();
    opening_ = false;
    open_ = true;
    // Whatever arrived before the line was ready is not an answer to anything we sent.
    received_.clear();
    qCDebug(lcSerial).noquote() << "connected to" << QString::fromStdString(where());
    if (events().opened) events().opened();
}

void NetworkTransport::fail(const std::string& reason) {
    close();
    if (events().failed) events().failed(Failure(reason));
}

void NetworkTransport::close() {
    deadline_.stop();
    opening_ = open_ = false;
    socket_.abort();
    if (auto closed = std::exchange(closed_, nullptr)) closed();
}

std::chrono::milliseconds NetworkTransport::holdBeforeClose() const {
    if (!isOpen()) return {};
    const auto hold =
        std::chrono::ceil<std::chrono::milliseconds>(lineFreeAt_ + kServerMargin - Clock::now());
    return std::clamp(hold, std::chrono::milliseconds(0), kLineHoldLimit);
}

void NetworkTransport::closeGently(std::function<void()> closed) {
    if (!isOpen()) {
        close();
        return closed();
    }
    // The orderly end of the connection, and the time for the server to see it out: a server
    // that hears only a reset may drop what it has not yet passed on.
    open_ = false;
    closed_ = std::move(closed);
    socket_.disconnectFromHost();
    if (socket_.state() == QAbstractSocket::UnconnectedState) return close();
    deadline_.start(kDisconnectTimeout);
}

void NetworkTransport::dropped(const std::string& reason) {
    if (closed_) return close();  // the end of a gentle close
    if (opening_) return fail(reason);
    if (!open_) return;
    // Like a hang-up: close at once, so nothing keeps reporting and no CPU is spent.
    close();
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
            if (opening_ && client_->status() == ComPortClient::Status::Refused)
                return fail(client_->problem().empty()
                                ? "the server does not take line settings (RFC 2217)"
                                : client_->problem());
            if (opening_ && client_->status() == ComPortClient::Status::Ready) negotiated();
        } else {
            data.assign(bytes, bytes + n);
        }
        // A chatty device cannot make the panel grow; the bytes kept are the oldest.
        const qsizetype room = kReceiveBufferSize - received_.size();
        received_.append(reinterpret_cast<const char*>(data.data()),
                         std::min<qsizetype>(room, qsizetype(data.size())));
    }
}

bool NetworkTransport::send(const Bytes& bytes) {
    if (bytes.empty()) return true;
    const qint64 size = qint64(bytes.size());
    if (socket_.write(reinterpret_cast<const char*>(bytes.data()), size) != size) return false;
    socket_.flush();
    return true;
}

bool NetworkTransport::write(std::span<const std::uint8_t> bytes) {
    if (!send(client_ ? escapeTelnetData(bytes) : Bytes(bytes.begin(), bytes.end()))) return false;
    lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + lineTime(settings_, bytes.size());
    return true;
}

void NetworkTransport::discardInput() {
    // What the system holds for the socket but no event has brought in yet goes too.
    socket_.waitForReadyRead(0);
    takeReceived();
    received_.clear();
}

}  // namespace tolvane
