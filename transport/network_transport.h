#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QTcpSocket>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "ports/port_mapping.h"
#include "transport/line_settings.h"
#include "transport/serial_layer.h"
#include "transport/telnet.h"

namespace tolvane {

// How long opening may take: name lookup, connection and, with RFC 2217, the server's
// confirmation of the line settings.
inline constexpr std::chrono::milliseconds kConnectTimeout{3000};
// How long a server that took a quiet retry's connection has to confirm the line settings: the
// window takes no input meanwhile. (The connection itself is never waited for on a retry.)
inline constexpr std::chrono::milliseconds kRetryConnectTimeout{500};
// "Sent" through a device server means on the server's serial line. There is no way to ask a
// server whether its line has sent the bytes, so a close holds the connection for the time the
// line needs for what was written last, plus this margin for the server to read them first: a
// server that reads the bytes together with the end of the connection may close its line without
// writing them, as ser2net 4.3 does.
inline constexpr std::chrono::milliseconds kServerMargin{300};
// The longest a close holds the connection for the server's line.
inline constexpr std::chrono::milliseconds kLineHoldLimit{2000};
// Bytes read from the socket at a time, and held by the socket at most besides.
inline constexpr qint64 kSocketChunk = 4096;

// The serial layer on a serial device server reached over TCP: raw (bytes unchanged both
// ways) or Telnet with the COM-PORT-OPTION, which sets the server's line from Settings on
// every open, doubles each 0xFF sent, and counts only data bytes as received. The server
// closing the connection closes the port, as a pulled cable would.
class NetSerialLayer final : public SerialLayer {
  public:
    using Resolver = std::function<PortAddress(int port)>;
    explicit NetSerialLayer(Resolver resolve);
    ~NetSerialLayer() override;

    void CommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return port_; }
    void Settings(std::string_view settings) override;
    bool PortOpen() const override;
    void PortOpen(bool open) override;
    void Output(std::span<const std::uint8_t> bytes) override;
    std::size_t OutBufferCount() const override;
    std::int16_t InBufferCount() override;
    void InBufferCount(std::int16_t count) override;
    // Once every byte written has been handed to the system for the server.
    void drain(std::chrono::milliseconds timeout) override;
    void reopenLost() override;

    // The address of the last open attempt, as given.
    QString address() const { return where_; }

  private:
    void open();
    void connectTo(std::chrono::milliseconds timeout);
    void startConnect();
    // Once connected: the line settings (RFC 2217), then the port is open.
    void finishOpen(const QDeadlineTimer& deadline, std::chrono::milliseconds timeout);
    void onConnected();
    void close();
    [[noreturn]] void refuse(const QString& reason);
    // Runs socket events (not the user's) until done() or the deadline.
    void waitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline);
    void takeReceived();
    void send(const Bytes& bytes);
    void lost(const QString& reason);

    QTcpSocket socket_;
    Resolver resolve_;
    std::int16_t port_ = 1;
    LineSettings settings_;
    PortAddress address_;
    QString where_;
    bool open_ = false;
    TelnetDecoder decoder_;
    std::optional<ComPortClient> client_;  // Telnet connections only
    QByteArray received_;                  // data bytes, at most kReceiveBufferSize
    bool quiet_ = false;                   // a retry: failures are debug lines only
    bool opening_ = false;                 // a loss now is a failed open, not a lost port
    std::chrono::steady_clock::time_point lineFreeAt_;  // when the server's line has sent all
    bool retrying_ = false;                             // a quiet try's connection is under way
};

// Picks, on every open, the layer for what the selected Comm item stands for: the local serial
// layer for a device, the network layer for an address. Every other call goes to the layer
// last opened.
class RoutingSerialLayer final : public SerialLayer {
  public:
    RoutingSerialLayer(NetSerialLayer::Resolver resolve, std::unique_ptr<SerialLayer> serial,
                       std::unique_ptr<SerialLayer> network);

    void CommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return active_->CommPort(); }
    void Settings(std::string_view settings) override;
    bool PortOpen() const override { return active_->PortOpen(); }
    void PortOpen(bool open) override;
    void Output(std::span<const std::uint8_t> bytes) override { active_->Output(bytes); }
    std::size_t OutBufferCount() const override { return active_->OutBufferCount(); }
    std::int16_t InBufferCount() override { return active_->InBufferCount(); }
    void InBufferCount(std::int16_t count) override { active_->InBufferCount(count); }
    void drain(std::chrono::milliseconds timeout) override { active_->drain(timeout); }
    void setLostHandler(LostHandler handler) override;
    void reopenLost() override { active_->reopenLost(); }

  private:
    NetSerialLayer::Resolver resolve_;
    std::unique_ptr<SerialLayer> serial_;
    std::unique_ptr<SerialLayer> network_;
    SerialLayer* active_;
};

}  // namespace tolvane
