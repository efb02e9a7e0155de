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
    reconnect_.stop();
    ui_.setPortChecked(1, true);
    chosen_ = 1;
    try {
        if (port_.PortOpen()) port_.PortOpen(false);
        port_.Settings(kLineSettings);
        if (!port_.PortOpen()) port_.PortOpen(true);
    } catch (const SerialError& error) {
        // Whatever step failed, the user is told the port could not be opened, which and why.
        ui_.showMessage(kOpenFailedMessage, openFailure(error));
    }
}

void PortManager::selectPort(int port) {
    // The user's choice replaces whatever was being tried, even the same item.
    reconnect_.stop();
    for (int item = 1; item <= kPortCount; ++item) ui_.setPortChecked(item, item == port);
    chosen_ = port;
    try {
        if (port_.PortOpen()) port_.PortOpen(false);
        port_.CommPort(static_cast<std::int16_t>(port));
        if (!port_.PortOpen()) port_.PortOpen(true);
    } catch (const SerialError& error) {
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
    const auto failure = pressKeyQuietly(key);
    // The port is not the wrong choice: it went away, and it is used again once it is back.
    if (failure)
        ui_.showMessage(*failure, retrying() ? portLine() + "\n" + retryNote() +
                                                   "; keys go out again once it is back"
                                             : std::string());
    return !failure;
}

std::optional<std::string_view> PortManager::pressKeyQuietly(const KeyCommand& key) {
    try {
        sendKey(port_, key);
        return std::nullopt;
    } catch (const SerialError& error) {
        return messageFor(error.kind());
    }
}

void PortManager::report(const SerialError& error) {
    ui_.showMessage(messageFor(error.kind()));
}

}  // namespace tolvane
