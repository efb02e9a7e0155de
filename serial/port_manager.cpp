#include "serial/port_manager.h"

#include <QTimer>

#include "serial/messages.h"

namespace tolvane {

SerialLayer::PressId sendKey(SerialLayer& port, const KeyCommand& key, SerialLayer::Fate fate) {
    const auto leadIn = leadInFrame(key);
    const auto frame = keyFrame(key);
    return port.press({Bytes(leadIn.begin(), leadIn.end()), Bytes(frame.begin(), frame.end())},
                      std::move(fate));
}

PortManager::PortManager(SerialLayer& port, PortUi& ui) : port_(port), ui_(ui) {
    port_.setLostHandler([this](TransportKind transport) { reconnect_.start(transport); });
    // An open that went on in the background (a device server) and failed: the same message,
    // once whoever opened it has returned.
    port_.setOpenHandler([this](const SerialError* failure) {
        if (failure)
            QTimer::singleShot(0, &context_, [this] { ui_.showMessage(kOpenFailedMessage); });
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
    } catch (const SerialError&) {
        // Whatever step failed, the user is told the port could not be opened.
        ui_.showMessage(kOpenFailedMessage);
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
    } catch (const SerialError&) {
        ui_.showMessage(kOpenFailedMessage);
    }
}

bool PortManager::pressKey(const KeyCommand& key) {
    const auto failure = pressKeyQuietly(key);
    if (failure) ui_.showMessage(*failure);
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
