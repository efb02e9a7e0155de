#include "serial/port_manager.h"

#include "serial/messages.h"

namespace tolvane {

void sendKey(SerialLayer& port, const KeyCommand& key) {
    const auto leadIn = leadInFrame(key);
    const auto frame = keyFrame(key);
    // A press goes out whole or not at all: when the line lags so far that the key frame
    // would not fit behind the lead-in, neither is queued.
    if (port.OutBufferCount() + leadIn.size() + frame.size() > kOutBufferSize)
        throw SerialError(SerialError::Kind::Write, "the line has not taken the earlier presses");
    port.Output(leadIn);
    port.Output(frame);
}

PortManager::PortManager(SerialLayer& port, PortUi& ui) : port_(port), ui_(ui) {
    port_.setLostHandler([this](TransportKind transport) { reconnect_.start(transport); });
}

PortManager::~PortManager() {
    port_.setLostHandler({});
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
