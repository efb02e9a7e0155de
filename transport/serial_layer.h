// transport/: the port to the projector: its rules, and the transports that reach it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ports/port_catalogue.h"
#include "ports/port_mapping.h"
#include "protocol/frame.h"
#include "transport/factory.h"
#include "transport/line_settings.h"
#include "transport/transport.h"

namespace tolvane {

// How long a port that is closed (a switch, the window closing) may go on sending what was
// queued before, in the background; then what has not begun is withdrawn.
inline constexpr std::chrono::milliseconds kCloseDrainTimeout{500};

// A failure of the serial layer; what went wrong decides the message the user sees.
class SerialError : public std::runtime_error {
  public:
    enum class Kind { Open, Write, Read, Settings };
    SerialError(Kind kind, const std::string& what, std::vector<std::string> hints = {})
        : std::runtime_error(what), kind_(kind), hints_(std::move(hints)) {}
    Kind kind() const { return kind_; }
    // For a failed open: the likely causes and their fixes, when known; else none.
    const std::vector<std::string>& hints() const { return hints_; }
    // The same as text to append to the reason.
    std::string hint() const { return joinHints(hints_); }

  private:
    Kind kind_;
    std::vector<std::string> hints_;
};

// Where the port is in its life. Opening: connecting, or agreeing the line with a server.
// Lost: it went away by itself and is being opened again quietly, each try Reopening.
enum class PortState { Closed, Opening, Open, Lost, Reopening };

// Presses queued before a close, sent on for a while by the port they were meant for.
class Departure;

// The panel's one serial port, with the operations it needs, named after the port's properties.
// It keeps the rules for every transport: what may happen in which state, the bound on what
// waits, the refusals, the logs, and a line that goes away. On each open it takes a transport
// for what the selected Comm item stands for. Nothing here waits: opening, closing and
// reconnecting go on in the background. Every failing operation throws SerialError.
//
// Every press (one or more frames, such as a key's lead-in and key frame) has one fate: all of
// its bytes handed to the system, or none of them. Frames are never cut: a press begun is
// finished; one not begun when its port closes, goes away or gives up is withdrawn, and a press
// withdrawn never reaches any line later.
class SerialLayer {
  public:
    using MakeTransport = std::function<std::unique_ptr<Transport>(const PortAddress&)>;
    using Resolver = std::function<PortAddress(int port)>;
    // The fate of a press: true once all of its bytes are with the system, false when it was
    // withdrawn. Called once, perhaps before press() returns.
    using Fate = std::function<void(bool sent)>;
    using PressId = std::uint64_t;

    // By default the transports of transport/factory.h, and the Comm items as this machine
    // maps them. The default is named here, at the caller: a program that brings its own
    // transports (tolvane-send) does not link the factory, nor Qt Network with it.
    explicit SerialLayer(MakeTransport make = &makeTransport, Resolver resolve = {});
    virtual ~SerialLayer();
    SerialLayer(const SerialLayer&) = delete;
    SerialLayer& operator=(const SerialLayer&) = delete;

    // Selects the port (COMn) that the next open uses.
    void CommPort(std::int16_t port);
    std::int16_t CommPort() const { return port_; }
    // Line settings such as "9600,N,8,1", for this and every later open.
    void Settings(std::string_view settings);
    bool PortOpen() const { return state_ == PortState::Open && line_ && line_->isOpen(); }
    // true opens the selected port with the settings in force (a device at once; a device
    // server in the background: see setOpenHandler); false closes it, letting what is queued
    // go on in the background for a while.
    void PortOpen(bool open);
    // Queues the frame as a press of its own and returns without waiting.
    void Output(std::span<const std::uint8_t> bytes) {
        press({{Bytes(bytes.begin(), bytes.end())}});
    }
    // Queues the frames as one press, behind earlier ones, while the port is open or opening.
    // A press that would take the queue past kOutBufferSize is refused whole.
    PressId press(std::vector<Bytes> frames, Fate fate = {});
    // Withdraws a press that has not begun; its fate is told. False when it had begun or is done.
    bool withdraw(PressId id);
    // Bytes queued that the line has not taken yet; 0 while the port is closed.
    std::size_t OutBufferCount() const;
    // Received bytes waiting, at most 32767.
    std::int16_t InBufferCount();
    // Only 0 is meaningful: discards every received byte waiting.
    void InBufferCount(std::int16_t count);
    // Waits (a command line's wait: it blocks) until every byte written has left for the far end
    // (for a device, sent on the line). Throws SerialError (a write failure) when the port
    // closes first or the timeout passes.
    void drain(std::chrono::milliseconds timeout);

    // For a command line, which may wait: returns once an open going on in the background is
    // over, or throws its failure (SerialError, Open).
    void awaitOpen();
    // Called when an open that went on in the background is over: with nothing when the port
    // opened, with the failure when it did not (which has been logged).
    using OpenHandler = std::function<void(const SerialError* failure)>;
    void setOpenHandler(OpenHandler handler) { openHandler_ = std::move(handler); }
    // Opens this address instead of what CommPort stands for (tolvane-send --port DEVICE).
    void setAddress(std::optional<PortAddress> address) { fixed_ = std::move(address); }
    // What COMn opens, as text for the user choosing a port (see describeAddress).
    std::string describePort(std::int16_t port) const;
    // The device or address of the last open attempt, as named.
    const std::string& where() const { return address_.path; }
    // Ports closed earlier still sending what was queued before.
    bool departing() const { return !departures_.empty(); }
    // Runs the event loop's other work until every departing port is done (each within its own
    // bounds): for the end of the program, once the window has gone.
    void finishDepartures();

    // Called when the open port went away by itself; never for a close asked for. The handler
    // must not call back into the layer: it runs inside the layer's own handling of the loss.
    using LostHandler = std::function<void(TransportKind)>;
    void setLostHandler(LostHandler handler) { lostHandler_ = std::move(handler); }
    // One quiet try to open again what went away, with the settings in force: the same
    // adapter even under a new device name, else the same name, or the same address. True once
    // open; false while the try goes on in the background. Failures throw SerialError (Open)
    // and print nothing but debug lines.
    bool reopenLost();

  protected:
    // Closes and lets go of the transport, letting departing ports finish first: for the end
    // of the program, and for a derived class whose members the transport uses.
    void release();

  private:
    struct Press {
        PressId id;
        std::vector<Bytes> frames;
        std::size_t bytes;
        Fate fate;
    };
    // Presses on one transport, oldest first.
    struct Presses {
        std::deque<Press> waiting;  // not begun
        std::deque<Press> handed;   // with the transport, not yet all taken by the system
        std::size_t waitingBytes = 0;
        bool empty() const { return waiting.empty() && handed.empty(); }
        // Each time the line (as `line` gives it; null once unusable) has taken all handed over,
        // tells those presses they went and hands over the next one whole, when there is room.
        // False when a write failed.
        template <typename Line>
        bool feed(Line line);
        // Tells the presses not begun, or all, that they were withdrawn; returns how many.
        std::size_t withdrawWaiting();
        std::size_t withdrawAll();
    };
    friend class Departure;

    void open();
    void start();
    void close();
    SerialError failed(const Transport::Failure& failure);
    void onOpened();
    void onFailed(const Transport::Failure& failure);
    void feed();
    void lost(const std::string& reason);
    [[noreturn]] void notOpen(SerialError::Kind kind) const;

    MakeTransport make_;
    Resolver resolve_;
    std::unique_ptr<Transport> line_;
    PortState state_ = PortState::Closed;
    std::int16_t port_ = 1;
    LineSettings settings_;
    std::optional<PortAddress> fixed_;
    PortAddress address_;
    Presses presses_;
    PressId nextId_ = 1;
    bool feeding_ = false;
    std::string wasBefore_;
    LostHandler lostHandler_;
    OpenHandler openHandler_;
    std::optional<SerialError> openFailure_;  // of the last open that went on in the background
    std::list<std::unique_ptr<Departure>> departures_;
};

}  // namespace tolvane
