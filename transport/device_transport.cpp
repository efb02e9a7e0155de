#include "transport/device_transport.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <array>
#include <cerrno>
#include <cstring>

#include "transport/logging.h"

namespace tolvane {
namespace {

// The system's error number behind a failed open, for the hints that go with it.
int errorNumber(const QSerialPort& serial) {
    switch (serial.error()) {
        case QSerialPort::PermissionError:
            return EACCES;
        case QSerialPort::DeviceNotFoundError:
            return ENOENT;
        case QSerialPort::OpenError:
            return EBUSY;
        default:
            return 0;
    }
}

// True when the other end has gone: a hang-up, a removed device, a closed pseudo-terminal.
bool lineHungUp(int fd) {
    pollfd line{fd, POLLIN | POLLOUT, 0};
    return ::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

DeviceTransport::DeviceTransport() {
    serial_.setReadBufferSize(kReceiveBufferSize);
    roomCheck_.setSingleShot(true);
    roomCheck_.setInterval(5);
    roomCheck_.setTimerType(Qt::PreciseTimer);
    const auto written = [this] {
        if (events().written) events().written();
    };
    QObject::connect(&roomCheck_, &QTimer::timeout, &serial_, written);
    QObject::connect(&serial_, &QIODevice::bytesWritten, &serial_, written);
    // However the port closes (here, or after a hang-up), the device is no longer ours.
    QObject::connect(&serial_, &QIODevice::aboutToClose, &serial_, [this] { lock_.release(); });
    QObject::connect(&serial_, &QSerialPort::errorOccurred, &serial_,
                     [this](QSerialPort::SerialPortError error) { onError(error); });
}

DeviceTransport::~DeviceTransport() {
    close();
}

void DeviceTransport::apply(const LineSettings& settings) {
    serial_.setBaudRate(settings.baud);
    // In the order of LineSettings' enumerations.
    serial_.setParity(std::array{QSerialPort::NoParity, QSerialPort::EvenParity,
                                 QSerialPort::OddParity, QSerialPort::MarkParity,
                                 QSerialPort::SpaceParity}[int(settings.parity)]);
    serial_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
    serial_.setStopBits(std::array{QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                   QSerialPort::TwoStop}[int(settings.stopBits)]);
}

void DeviceTransport::open(const PortAddress& address, const LineSettings& settings) {
    if (address.kind != PortAddress::Kind::SerialDevice)
        throw Failure("a network address, not a serial device");
    close();
    name_ = QByteArray::fromStdString(address.path);
    if (name_.isEmpty()) throw Failure("no device name given");
    if (name_.size() > kMaxDeviceNameLength) throw Failure("device name too long");
    lock_.acquire(name_);
    // The device itself, not the name given: Qt's own lock file is then named after the device.
    serial_.setPortName(lock_.path());
    apply(settings);
    if (!serial_.open(QIODevice::ReadWrite)) {
        lock_.release();
        throw Failure(serial_.errorString().toStdString(), errorNumber(serial_));
    }
    lock_.makeExclusive();
    // Whatever arrived before we opened is not an answer to anything we sent.
    serial_.clear(QSerialPort::Input);
    identity_ = identityOf(QFile::encodeName(lock_.path()).toStdString());
}

void DeviceTransport::reopen(const PortAddress& address, const LineSettings& settings) {
    PortAddress device = address;
    // An adapter the system knows is looked for wherever it is now; one with a by-id name is
    // found by that alone, which spares looking up every port twice a second.
    if (identity_.known()) {
        const auto found = findAdapter(identity_, presentPorts(identity_.byId.empty()));
        if (!found) throw Failure("the adapter is not back");
        device.path = *found;
    }
    const PortIdentity wanted = identity_;
    open(device, settings);
    if (wanted.known()) identity_ = wanted;
}

void DeviceTransport::close() {
    roomCheck_.stop();
    if (serial_.isOpen()) serial_.close();
    lock_.release();
}

bool DeviceTransport::roomFor(std::size_t bytes) {
    // POLLOUT on a terminal means fewer than 256 bytes wait, far below any terminal's room; a
    // write larger than that goes as the system takes it.
    pollfd line{serial_.handle(), POLLOUT, 0};
    if (bytes > 256 || (::poll(&line, 1, 0) == 1 && (line.revents & POLLOUT) != 0)) return true;
    roomCheck_.start();
    return false;
}

bool DeviceTransport::write(std::span<const std::uint8_t> bytes) {
    const qint64 size = qint64(bytes.size());
    if (serial_.write(reinterpret_cast<const char*>(bytes.data()), size) != size) return false;
    // Hand the bytes to the system now rather than on the next pass of the event loop.
    serial_.flush();
    return true;
}

void DeviceTransport::finishWrites() {
    while (::tcdrain(serial_.handle()) != 0)
        if (errno != EINTR) throw Failure(std::strerror(errno));
}

void DeviceTransport::discardInput() {
    serial_.clear(QSerialPort::Input);
    keepReading();
}

void DeviceTransport::keepReading() {
    // QSerialPort stops reading when its buffer is full or a read found nothing (EAGAIN), and
    // clear() does not start it again. Asking for one byte more than it holds does, without
    // taking any; else no later reply, nor a hang-up, would be seen.
    serial_.peek(serial_.bytesAvailable() + 1);
}

void DeviceTransport::onError(QSerialPort::SerialPortError error) {
    // After a hang-up Qt would report the same error over and over; close at once instead.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!serial_.isOpen()) return;
    // A full line (the far end stops reading for a while, a device server's buffer fills) is
    // not a broken one: the write is tried again when the line can take bytes, and what is
    // queued leaves whole and in order. Nor is a read that found nothing (the input was just
    // discarded). Qt reports both as the resource error of a hang-up, and a hang-up can come
    // with a stale EAGAIN, so the line itself is asked. A call cut short by a signal (EINTR,
    // the panel asked to stop while it drains) is not a failure either.
    const auto was = [this](int code) {
        return errno == code ||
               serial_.errorString() == QString::fromLocal8Bit(std::strerror(code));
    };
    const bool wouldBlock = error == QSerialPort::ResourceError && was(EAGAIN);
    if ((wouldBlock || was(EINTR)) && !lineHungUp(serial_.handle())) {
        qCDebug(lcSerial).noquote()
            << name_ << "would block;" << serial_.bytesToWrite() << "bytes wait for the line";
        serial_.clearError();
        keepReading();
        return;
    }
    const std::string reason = serial_.errorString().toStdString();
    close();
    if (events().lost) events().lost(reason);
}

}  // namespace tolvane
