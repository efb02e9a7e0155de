#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QTimer>

#include "lock/device_lock.h"
#include "ports/port_catalogue.h"
#include "transport/transport.h"

namespace tolvane {

// Longest device name we hand to the system, in bytes: PATH_MAX less the terminating zero.
inline constexpr qsizetype kMaxDeviceNameLength = 4095;

// A serial device (or pseudo-terminal), through QSerialPort, claimed against other programs
// while it is open.
class DeviceTransport final : public Transport {
  public:
    DeviceTransport();
    ~DeviceTransport() override;

    TransportKind kind() const override { return TransportKind::Device; }
    void open(const PortAddress& address, const LineSettings& settings) override;
    // The same adapter wherever it is now, else the same name.
    void reopen(const PortAddress& address, const LineSettings& settings) override;
    void close() override;
    bool isOpen() const override { return serial_.isOpen(); }
    void apply(const LineSettings& settings) override;
    // The terminal takes a write whole while its output queue is short (the kernel's own
    // wake-up mark); when it is not, the line is looked at again every few milliseconds.
    bool roomFor(std::size_t bytes) override;
    bool write(std::span<const std::uint8_t> bytes) override;
    qint64 bytesToWrite() const override { return serial_.bytesToWrite(); }
    void waitForWritten(int ms) override { serial_.waitForBytesWritten(ms); }
    qint64 bytesAvailable() override { return serial_.bytesAvailable(); }
    void discardInput() override;
    // Waits for the last bit to leave the line.
    void finishWrites() override;
    std::string where() const override { return name_.toStdString(); }

  private:
    void onError(QSerialPort::SerialPortError error);
    void keepReading();

    // Before the port: it is released when the port closes, so it must outlive the port.
    DeviceLock lock_;
    QSerialPort serial_;
    QTimer roomCheck_;
    QByteArray name_;        // as named, of the last open attempt
    PortIdentity identity_;  // of the device last opened
};

}  // namespace tolvane
