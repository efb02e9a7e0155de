#pragma once

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QString>
#include <chrono>
#include <deque>

#include "lock/device_lock.h"
#include "ports/port_identity.h"
#include "ports/port_mapping.h"
#include "transport/line_settings.h"
#include "transport/serial_layer.h"

namespace tolvane {

// Received bytes kept at most; a chatty device cannot make the panel grow.
inline constexpr qint64 kReceiveBufferSize = 4096;
// How long closing the port may wait for queued bytes to leave.
inline constexpr std::chrono::milliseconds kCloseDrainTimeout{500};
// Longest device name we hand to the system, in bytes: PATH_MAX less the terminating zero.
inline constexpr qsizetype kMaxDeviceNameLength = 4095;

// The serial layer on a real (or pseudo-) terminal, through QSerialPort.
class QtSerialLayer final : public SerialLayer {
  public:
    QtSerialLayer();
    ~QtSerialLayer() override;

    void CommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return port_; }
    void Settings(std::string_view settings) override;
    bool PortOpen() const override { return serial_.isOpen(); }
    void PortOpen(bool open) override;
    void Output(std::span<const std::uint8_t> bytes) override;
    std::size_t OutBufferCount() const override;
    std::int16_t InBufferCount() override;
    void InBufferCount(std::int16_t count) override;
    std::string describePort(std::int16_t port) const override;
    void reopenLost() override;

    // What COMn stands for on this machine right now (from TOLVANE_COMn or the ports present).
    static PortAddress addressForPort(int port);
    // The device that COMn stands for on this machine right now, as bytes (names need not be
    // text), and as text for messages.
    static QByteArray deviceNameForPort(int port);
    static QString deviceForPort(int port);
    // The device of the last open attempt.
    QString device() const { return device_; }
    // Names the device the next opens use, as bytes, instead of the one behind CommPort; an
    // empty name goes back to CommPort.
    void setDeviceName(const QByteArray& name) { deviceName_ = name; }
    void drain(std::chrono::milliseconds timeout) override;

  private:
    void open();
    void openDevice(const QByteArray& name);
    [[noreturn]] void refuse(const QString& reason, int error = 0);
    void close();
    void applySettings();
    void onError(QSerialPort::SerialPortError error);
    void keepReading();
    // Hands waiting frames to QSerialPort, each once the system has taken all of the one before.
    void feed();
    // Until every queued byte is with the system, the port closes, or the deadline passes.
    void writeQueued(const QDeadlineTimer& deadline);

    // Before the port: it is released when the port closes, so it must outlive the port.
    DeviceLock lock_;
    QSerialPort serial_;
    std::int16_t port_ = 1;
    QByteArray deviceName_;
    LineSettings settings_;
    QString device_;
    // Frames not yet given to QSerialPort. It holds one frame at most while the line lags, so a
    // port closed before the line took everything leaves whole frames behind, never the end of
    // one whose start is already on the line.
    std::deque<QByteArray> waiting_;
    std::size_t waitingBytes_ = 0;
    bool feeding_ = false;
    QByteArray openedName_;  // the name of the last successful open, as given
    PortIdentity identity_;  // of the device behind it
    bool quiet_ = false;     // a retry: failures are debug lines only
};

}  // namespace tolvane
