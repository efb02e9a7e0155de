#include "serial/port_manager.h"

#include <QTime>
#include <QTimer>

#include "protocol/hex_text.h"
#include "serial/messages.h"

namespace tolvane {

SerialLayer::PressId sendKey(SerialLayer& port, const KeyCommand& key, SerialLayer::Fate fate) {
    const auto leadIn = leadInFrame(key);
    const auto frame = keyFrame(key);
    return port.press({Bytes(leadIn.begin(), leadIn.end()), Bytes(frame.begin(), frame.end())},
                      std::move(fate));
}

PortManager::PortManager(SerialLayer& port, PortUi& ui) : port_(port), ui_(ui) {
    port_.setLostHandler([this](TransportKind transport) {
        lostAt_ = QTime::currentTime().toString(QStringLiteral("HH:mm")).toStdString();
        reconnect_.start(transport);
    });
    // An open that went on in the background (a device server) and failed: the same message,
    // once whoever opened it has returned.
    port_.setOpenHandler([this](const SerialError* failure) {
        if (!failure) return;
        QTimer::singleShot(0, &context_, [this, details = openFailure(*failure)] {
            ui_.showMessage(kOpenFailedMessage, details);
        });
    });
}

PortManager::~PortManager() {
    port_.setLostHandler({});
    port_.setOpenHandler({});
}

void PortManager::startUp() {
    choose(1, [this] { port_.Settings(kLineSettings); });
}

void PortManager::selectPort(int port) {
    choose(port, [this, port] { port_.CommPort(static_cast<std::int16_t>(port)); });
}

void PortManager::choose(int item, const std::function<void()>& set) {
    // The user's choice replaces whatever was being tried, even the same item.
    reconnect_.stop();
    for (int other = 1; other <= kPortCount; ++other) ui_.setPortChecked(other, other == item);
    chosen_ = item;
    try {
        if (port_.PortOpen()) port_.PortOpen(false);
        set();
        if (!port_.PortOpen()) port_.PortOpen(true);
    } catch (const SerialError& error) {
        // Whatever step failed, the user is told the port could not be opened, which and why.
        ui_.showMessage(kOpenFailedMessage, openFailure(error));
    }
}

// "Comm2: /dev/ttyUSB0", the system's reason, and each likely cause's fix on a line of its own.
std::string PortManager::openFailure(const SerialError& error) const {
    std::string details = portLine() + "\n" + error.what();
    for (const std::string& hint : error.hints()) details += "\n" + hint;
    return details;
}

std::string PortManager::portLine() const {
    return "Comm" + std::to_string(chosen_) + ": " + printable(port_.where());
}

std::string PortManager::retryNote() const {
    return retrying() ? "lost, trying again since " + lostAt_ : std::string();
}

bool PortManager::pressKey(const KeyCommand& key) {
    try {
        sendKey(port_, key);
        return true;
    } catch (const SerialError& error) {
        // The port is not the wrong choice: it went away, and it is used again once it is back.
        const std::string details =
            retrying() ? portLine() + "\n" + retryNote() + "; keys go out again once it is back"
                       : std::string();
        ui_.showMessage(messageFor(error.kind()), details);
        return false;
    }
}

}  // namespace tolvane
