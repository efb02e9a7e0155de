#pragma once

#include <QByteArray>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

#include "transport/telnet.h"
#include "transport/transport.h"

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
// How long a close waits for the orderly end of the connection.
inline constexpr std::chrono::milliseconds kDisconnectTimeout{500};
// Bytes read from the socket at a time, and held by the socket at most besides.
inline constexpr qint64 kSocketChunk = 4096;

// A serial device server reached over TCP: raw (bytes unchanged both ways) or Telnet with the
// COM-PORT-OPTION, which sets the server's line on every open, doubles each 0xFF sent, and
// counts only data bytes as received. Opening goes on in the background; the line is open once
// connected and, with RFC 2217, once the server has confirmed every setting as asked. The server
// closing the connection is a pulled cable.
class NetworkTransport final : public Transport {
  public:
    NetworkTransport();
    ~NetworkTransport() override;

    TransportKind kind() const override { return TransportKind::Network; }
    void open(const PortAddress& address, const LineSettings& settings) override;
    // As open(), but a connection still under way is left to go on, and only the server's
    // answer once connected is bounded (kRetryConnectTimeout).
    void reopen(const PortAddress& address, const LineSettings& settings) override;
    void close() override;
    // The time the server's line needs for what was written last, and kServerMargin.
    std::chrono::milliseconds holdBeforeClose() const override;
    void closeGently(std::function<void()> closed) override;
    bool isOpen() const override {
        return open_ && socket_.state() == QAbstractSocket::ConnectedState;
    }
    void apply(const LineSettings& settings) override;
    bool write(std::span<const std::uint8_t> bytes) override;
    qint64 bytesToWrite() const override { return socket_.bytesToWrite(); }
    void waitForWritten(int ms) override { socket_.waitForBytesWritten(ms); }
    qint64 bytesAvailable() override { return received_.size(); }
    // What the socket holds already goes too, as a serial port's input would; the Telnet
    // commands in it are still answered.
    void discardInput() override;
    std::string where() const override { return address_.path; }

  private:
    void start(const PortAddress& address, const LineSettings& settings);
    void onConnected();
    void negotiated();
    void fail(const std::string& reason);
    void takeReceived();
    bool send(const Bytes& bytes);
    void dropped(const std::string& reason);

    QTcpSocket socket_;
    QTimer deadline_;  // bounds the open
    PortAddress address_;
    LineSettings settings_;
    bool opening_ = false;
    bool open_ = false;
    bool retry_ = false;
    TelnetDecoder decoder_;
    std::optional<ComPortClient> client_;               // Telnet connections only
    QByteArray received_;                               // data bytes, at most kReceiveBufferSize
    std::chrono::steady_clock::time_point lineFreeAt_;  // when the server's line has sent all
    std::function<void()> closed_;                      // a gentle close under way
};

}  // namespace tolvane
