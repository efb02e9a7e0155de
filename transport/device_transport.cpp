#include "transport/device_transport.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSerialPortInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "lock/device_lock.h"
#include "ports/port_mapping.h"
#include "ports/serial_host.h"
#include "protocol/hex_text.h"
#include "transport/logging.h"

Q_LOGGING_CATEGORY(lcSerial, "tolvane.serial", QtInfoMsg)

namespace tolvane {
namespace {

QSerialPort::Parity toQt(LineSettings::Parity parity) {
    switch (parity) {
        case LineSettings::Parity::Even:
            return QSerialPort::EvenParity;
        case LineSettings::Parity::Odd:
            return QSerialPort::OddParity;
        case LineSettings::Parity::Mark:
            return QSerialPort::MarkParity;
        case LineSettings::Parity::Space:
            return QSerialPort::SpaceParity;
        case LineSettings::Parity::None:
            break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(LineSettings::StopBits stopBits) {
    switch (stopBits) {
        case LineSettings::StopBits::OneAndHalf:
            return QSerialPort::OneAndHalfStop;
        case LineSettings::StopBits::Two:
            return QSerialPort::TwoStop;
        case LineSettings::StopBits::One:
            break;
    }
    return QSerialPort::OneStop;
}

// The system's reason, with a hint where the usual cause is known.
QString reasonFor(const QSerialPort& serial, const QString& device) {
    QString reason = serial.errorString();
    if (serial.error() == QSerialPort::PermissionError) reason += permissionHint(device);
    return reason;
}

// The system's error number behind a failed open, for the hints that go with it.
int errorNumber(QSerialPort::SerialPortError error) {
    switch (error) {
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

QtSerialLayer::QtSerialLayer() {
    serial_.setReadBufferSize(kReceiveBufferSize);
    // However the port closes (here, or after a hang-up), the device is no longer ours.
    QObject::connect(&serial_, &QIODevice::aboutToClose, &serial_, [this] {
        lock_.release();
        waiting_.clear();
        waitingBytes_ = 0;
    });
    QObject::connect(&serial_, &QIODevice::bytesWritten, &serial_, [this] { feed(); });
    QObject::connect(&serial_, &QSerialPort::errorOccurred, &serial_,
                     [this](QSerialPort::SerialPortError error) { onError(error); });
}

QtSerialLayer::~QtSerialLayer() {
    close();
}

PortAddress QtSerialLayer::addressForPort(int port) {
    const QByteArray variable = "TOLVANE_COM" + QByteArray::number(port);
    std::optional<std::string> override;
    if (qEnvironmentVariableIsSet(variable.constData()))
        override = qgetenv(variable.constData()).toStdString();
    const HostSystem system = hostSystem();
    std::vector<std::string> present;
    if (!override && system == HostSystem::Linux)
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            present.push_back(QFile::encodeName(info.systemLocation()).toStdString());
    return tolvane::deviceForPort(port, override, present, system);
}

QByteArray QtSerialLayer::deviceNameForPort(int port) {
    return QByteArray::fromStdString(addressForPort(port).path);
}

QString QtSerialLayer::deviceForPort(int port) {
    return QFile::decodeName(deviceNameForPort(port));
}

// "/dev/ttyUSB0: FTDI, serial number A600ABCD": the device and, for an adapter the system
// knows, its maker and serial number; a name that leads nowhere says so.
std::string QtSerialLayer::describePort(std::int16_t port) const {
    const QString device = deviceForPort(port);
    const QFileInfo file(device);
    if (!file.exists()) return (device + QStringLiteral(": nothing is there")).toStdString();
    QStringList known;
    const QString target = file.canonicalFilePath();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != target) continue;
        if (!info.manufacturer().isEmpty()) known << info.manufacturer();
        if (!info.serialNumber().isEmpty())
            known << QStringLiteral("serial number %1").arg(info.serialNumber());
    }
    QString text = device;
    if (target != device) text += QStringLiteral(" (%1)").arg(target);
    if (!known.isEmpty()) text += QStringLiteral(": ") + known.join(QStringLiteral(", "));
    return text.toStdString();
}

void QtSerialLayer::CommPort(std::int16_t port) {
    if (port < 1) throw SerialError(SerialError::Kind::Open, "invalid port number");
    port_ = port;
}

void QtSerialLayer::Settings(std::string_view settings) {
    try {
        settings_ = parseLineSettings(settings);
    } catch (const std::invalid_argument& e) {
        qCWarning(lcSerial) << "invalid line settings:" << e.what();
        throw SerialError(SerialError::Kind::Settings, e.what());
    }
    if (serial_.isOpen()) applySettings();
}

void QtSerialLayer::applySettings() {
    serial_.setBaudRate(settings_.baud);
    serial_.setParity(toQt(settings_.parity));
    serial_.setDataBits(static_cast<QSerialPort::DataBits>(settings_.dataBits));
    serial_.setStopBits(toQt(settings_.stopBits));
}

void QtSerialLayer::PortOpen(bool open) {
    if (open)
        this->open();
    else
        close();
}

void QtSerialLayer::open() {
    if (serial_.isOpen()) return;
    lock_.release();
    // A name given directly (tolvane-send --port) goes through the same rules as TOLVANE_COMn.
    const PortAddress address =
        deviceName_.isEmpty() ? addressForPort(port_) : parsePortName(deviceName_.toStdString());
    const QByteArray name = QByteArray::fromStdString(address.path);
    device_ = QFile::decodeName(name);
    if (address.kind != PortAddress::Kind::SerialDevice)
        refuse(QStringLiteral("a network address, not a serial device"));
    openDevice(name);
}

void QtSerialLayer::refuse(const QString& reason, int error) {
    lock_.release();
    const QString what = QStringLiteral("cannot open COM%1 device \"%2\": %3")
                             .arg(port_)
                             .arg(device_.left(80), reason);
    if (quiet_) {
        qCDebug(lcSerial).noquote() << what;
    } else {
        qCWarning(lcSerial).noquote() << what + openFailureHint(device_, error);
    }
    throw SerialError(SerialError::Kind::Open, reason.toStdString());
}

void QtSerialLayer::openDevice(const QByteArray& name) {
    lock_.release();
    device_ = QFile::decodeName(name);
    if (name.isEmpty()) refuse(QStringLiteral("no device name given"));
    if (name.size() > kMaxDeviceNameLength) refuse(QStringLiteral("device name too long"));
    try {
        lock_.acquire(name);
    } catch (const DeviceLockError& e) {
        refuse(QString::fromLocal8Bit(e.what()), e.error());
    }

    // The device itself, not the name given: Qt's own lock file is then named after the device.
    serial_.setPortName(lock_.path());
    applySettings();
    if (!serial_.open(QIODevice::ReadWrite))
        refuse(reasonFor(serial_, device_), errorNumber(serial_.error()));
    lock_.makeExclusive();
    // Whatever arrived before we opened is not an answer to anything we sent.
    serial_.clear(QSerialPort::Input);
    openedName_ = name;
    identity_ = identityOf(QFile::encodeName(lock_.path()).toStdString());
}

void QtSerialLayer::reopenLost() {
    if (serial_.isOpen()) return;
    quiet_ = true;
    const auto loud = qScopeGuard([this] { quiet_ = false; });
    const QByteArray lost = openedName_;
    QByteArray name = lost;
    // An adapter the system knows is looked for wherever it is now; one with a by-id name is
    // found by that alone, which spares looking up every port twice a second.
    if (identity_.known()) {
        const std::optional<std::string> found =
            findAdapter(identity_, presentPorts(identity_.byId.empty()));
        if (!found) refuse(QStringLiteral("the adapter is not back"));
        name = QByteArray::fromStdString(*found);
    }
    openDevice(name);
    QString was;
    if (name != lost) was = QStringLiteral(" (was %1)").arg(QFile::decodeName(lost));
    qCInfo(lcSerial).noquote()
        << QStringLiteral("reopened COM%1 %2%3").arg(port_).arg(device_, was);
}

void QtSerialLayer::close() {
    if (serial_.isOpen()) {
        // Bytes still queued belong to a key press the user already made: let them leave first.
        serial_.flush();
        writeQueued(QDeadlineTimer(kCloseDrainTimeout));
        if (!waiting_.empty()) {
            qCWarning(lcSerial).noquote()
                << "closing" << device_ << "with" << waiting_.size() << "frames (" << waitingBytes_
                << "bytes) unsent: the line did not take them within" << kCloseDrainTimeout.count()
                << "ms";
            waiting_.clear();
            waitingBytes_ = 0;
        }
        // The frame on its way has its start on the line already; its end goes too.
        const QDeadlineTimer rest(kCloseDrainTimeout);
        while (serial_.isOpen() && serial_.bytesToWrite() > 0 && !rest.hasExpired())
            serial_.waitForBytesWritten(int(std::max<qint64>(1, rest.remainingTime())));
        if (serial_.isOpen()) serial_.close();
    }
    lock_.release();
}

void QtSerialLayer::feed() {
    if (feeding_) return;
    feeding_ = true;
    while (serial_.isOpen() && serial_.bytesToWrite() == 0 && !waiting_.empty()) {
        const QByteArray frame = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= std::size_t(frame.size());
        if (serial_.write(frame) != frame.size()) {
            // Later frames must not overtake this one: the line is given up as failed.
            qCWarning(lcSerial).noquote()
                << "closing" << device_ << "after a write failed:" << serial_.errorString();
            serial_.close();
            break;
        }
        // Hand the bytes to the system now rather than on the next pass of the event loop.
        serial_.flush();
    }
    feeding_ = false;
}

void QtSerialLayer::writeQueued(const QDeadlineTimer& deadline) {
    while (serial_.isOpen() && (!waiting_.empty() || serial_.bytesToWrite() > 0) &&
           !deadline.hasExpired()) {
        feed();
        if (serial_.bytesToWrite() > 0)
            serial_.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

void QtSerialLayer::Output(std::span<const std::uint8_t> bytes) {
    if (!serial_.isOpen()) {
        const QString where = device_.isEmpty() ? QString() : " (" + device_.left(80) + ")";
        qCWarning(lcSerial).noquote()
            << "cannot write to COM" + QString::number(port_) + where + ": the port is not open";
        throw SerialError(SerialError::Kind::Write, "the port is not open");
    }
    if (OutBufferCount() + bytes.size() > kOutBufferSize) {
        qCWarning(lcSerial).noquote()
            << "cannot write to" << device_ << ":" << OutBufferCount()
            << "bytes are still waiting for the line; the frame is refused whole";
        throw SerialError(SerialError::Kind::Write, "the line has not taken the earlier frames");
    }
    waiting_.emplace_back(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    waitingBytes_ += bytes.size();
    qCDebug(lcSerial).noquote() << "write" << device_ << QString::fromStdString(toHex(bytes));
    feed();
    // A hang-up found while handing them over closes the port: the frame did not go out.
    if (!serial_.isOpen()) throw SerialError(SerialError::Kind::Write, "the port was closed");
}

void QtSerialLayer::drain(std::chrono::milliseconds timeout) {
    writeQueued(QDeadlineTimer(timeout));
    if (!serial_.isOpen()) throw SerialError(SerialError::Kind::Write, "the port was closed");
    if (OutBufferCount() > 0) {
        qCWarning(lcSerial).noquote() << "cannot write to" << device_ << ":" << OutBufferCount()
                                      << "bytes still wait for the line";
        throw SerialError(SerialError::Kind::Write, "the line did not take the bytes within " +
                                                        std::to_string(timeout.count()) + " ms");
    }
    // In the system's buffer is not yet on the line: wait for the last bit to go out.
    while (::tcdrain(serial_.handle()) != 0) {
        if (errno == EINTR) continue;
        throw SerialError(SerialError::Kind::Write, std::strerror(errno));
    }
}

std::size_t QtSerialLayer::OutBufferCount() const {
    return serial_.isOpen() ? waitingBytes_ + std::size_t(serial_.bytesToWrite()) : 0;
}

std::int16_t QtSerialLayer::InBufferCount() {
    if (!serial_.isOpen()) throw SerialError(SerialError::Kind::Read, "the port is not open");
    return static_cast<std::int16_t>(
        std::min<qint64>(serial_.bytesAvailable(), std::numeric_limits<std::int16_t>::max()));
}

void QtSerialLayer::InBufferCount(std::int16_t count) {
    if (!serial_.isOpen()) throw SerialError(SerialError::Kind::Read, "the port is not open");
    if (count != 0) throw SerialError(SerialError::Kind::Read, "only 0 can be set");
    serial_.clear(QSerialPort::Input);
    keepReading();
}

void QtSerialLayer::keepReading() {
    // QSerialPort stops reading when its buffer is full or a read found nothing (EAGAIN), and
    // clear() does not start it again. Asking for one byte more than it holds does, without
    // taking any; else no later reply, nor a hang-up, would be seen.
    serial_.peek(serial_.bytesAvailable() + 1);
}

void QtSerialLayer::onError(QSerialPort::SerialPortError error) {
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
            << device_ << "would block;" << serial_.bytesToWrite() << "bytes wait for the line";
        serial_.clearError();
        keepReading();
        return;
    }
    qCWarning(lcSerial).noquote() << "closing" << device_
                                  << "after it failed or went away:" << serial_.errorString();
    serial_.close();
    if (reportLost(Transport::Device))
        qCInfo(lcSerial).noquote()
            << QStringLiteral("lost COM%1 %2; opening it again once it is back")
                   .arg(port_)
                   .arg(device_);
}

}  // namespace tolvane
