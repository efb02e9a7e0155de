// serial/: the panel's port logic (port choice, key presses, the connection check), written
// against the SerialLayer interface and the small interfaces it needs from the window.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string_view>

#include "protocol/key_table.h"
#include "serial/comm_ports.h"
#include "serial/reconnector.h"
#include "transport/serial_layer.h"

namespace tolvane {

// Queues a key press: the key's lead-in frame, then its key frame, one write each, as one
// press: both go, or neither. Throws SerialError when the press is refused; `fate` is told
// whether it went.
SerialLayer::PressId sendKey(SerialLayer& port, const KeyCommand& key, SerialLayer::Fate fate = {});

// The two things port selection needs from the window: the menu's check marks and a message box.
class PortUi {
  public:
    virtual ~PortUi() = default;
    // item is 1 to 4, the Comm menu item of that port number.
    virtual void setPortChecked(int item, bool checked) = 0;
    // Modal message box: caption "Tolvane", OK only, no icon; returns when dismissed. The
    // details, if any, are the box's further text under the message.
    virtual void showMessage(std::string_view text, std::string_view details = {}) = 0;
};

// Opening, switching and writing to the one serial port, with the messages the user sees. A
// port that goes away by itself is opened again quietly once it is back.
class PortManager {
  public:
    PortManager(SerialLayer& port, PortUi& ui);
    ~PortManager();
    PortManager(const PortManager&) = delete;
    PortManager& operator=(const PortManager&) = delete;

    // Start-up: check Comm1, apply the line settings, open the port stored at creation.
    void startUp();
    // A choice from the Comm Port menu: move the check mark, close, renumber, open.
    void selectPort(int port);
    // Sends one key press; on failure shows the write message and returns false.
    bool pressKey(const KeyCommand& key);
    // The window closes: a lost port is no longer tried.
    void stopRetrying() { reconnect_.stop(); }
    bool retrying() const { return reconnect_.active(); }
    // "lost, trying again since 14:05" while a lost port is being tried again; else empty.
    std::string retryNote() const;

    SerialLayer& port() { return port_; }
    // The Comm item last chosen, 1 to 4; 0 before start-up.
    int chosenItem() const { return chosen_; }

    // The window's own connection check, for others who use the port (the session bus): it
    // discards the input their checks wait for.
    std::function<bool()> ownCheckWaiting = [] { return false; };
    std::function<void()> ownCheckStarting;

  private:
    // Checks `item` alone, closes the port, applies `set` and opens it again.
    void choose(int item, const std::function<void()>& set);
    // The box's further text for a failed open.
    std::string openFailure(const SerialError& error) const;
    // "Comm2: /dev/ttyUSB0": the item chosen and what it opened, or tried to.
    std::string portLine() const;

    SerialLayer& port_;
    PortUi& ui_;
    Reconnector reconnect_{port_};
    int chosen_ = 0;
    std::string lostAt_;  // when the port went away, as HH:MM
    QObject context_;     // for callbacks that must not outlive this
};

}  // namespace tolvane
