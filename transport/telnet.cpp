#include "transport/telnet.h"

namespace tolvane {
namespace {

using namespace telnet;

// COM-PORT-OPTION commands from the client; the server confirms each with the command + 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kServerOffset = 100;
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kAllSettings = 0b111110;  // bits 1..5

void append(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

}  // namespace

void TelnetDecoder::feed(std::span<const std::uint8_t> chunk, Bytes& data,
                         std::vector<TelnetEvent>& events) {
    auto keep = [this](std::uint8_t b) {
        if (sub_.size() < kMaxSubnegotiation)
            sub_.push_back(b);
        else
            overlong_ = true;
    };
    auto endSubnegotiation = [&] {
        if (overlong_)
            events.push_back({TelnetEvent::Kind::Overlong, kSb, option_, {}});
        else
            events.push_back({TelnetEvent::Kind::Subnegotiation, kSb, option_, sub_});
        sub_.clear();
        overlong_ = false;
    };
    for (const std::uint8_t b : chunk) {
        switch (state_) {
            case State::Data:
                if (b == kIac)
                    state_ = State::Iac;
                else
                    data.push_back(b);
                break;
            case State::SbIac:
                if (b == kIac) {
                    keep(b);
                    state_ = State::SbData;
                    break;
                }
                // IAC SE ends it; any other command ends it too and is then read as itself.
                endSubnegotiation();
                if (b == kSe) {
                    state_ = State::Data;
                    break;
                }
                [[fallthrough]];
            case State::Iac:
                state_ = State::Data;
                if (b == kIac) {
                    data.push_back(b);
                } else if (b >= kWill && b <= kDont) {
                    command_ = b;
                    state_ = State::Option;
                } else if (b == kSb) {
                    state_ = State::SbOption;
                } else {
                    events.push_back({TelnetEvent::Kind::Command, b, 0, {}});
                }
                break;
            case State::Option:
                events.push_back({TelnetEvent::Kind::Negotiation, command_, b, {}});
                state_ = State::Data;
                break;
            case State::SbOption:
                option_ = b;
                sub_.clear();
                overlong_ = false;
                state_ = State::SbData;
                break;
            case State::SbData:
                if (b == kIac)
                    state_ = State::SbIac;
                else
                    keep(b);
                break;
        }
    }
}

Bytes escapeTelnetData(std::span<const std::uint8_t> data) {
    Bytes out;
    out.reserve(data.size() + 8);
    for (const std::uint8_t b : data) {
        out.push_back(b);
        if (b == kIac) out.push_back(kIac);
    }
    return out;
}

Bytes ComPortClient::start() {
    Bytes out;
    for (const std::uint8_t option : {kComPort, kBinary, kSuppressGoAhead}) {
        weWill_[option] = true;
        append(out, {kIac, kWill, option});
    }
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        weDo_[option] = true;
        append(out, {kIac, kDo, option});
    }
    return out;
}

Bytes ComPortClient::onEvent(const TelnetEvent& event) {
    Bytes out;
    const std::uint8_t option = event.option;
    if (event.kind == TelnetEvent::Kind::Subnegotiation && option == kComPort &&
        !event.payload.empty()) {
        const int command = event.payload[0] - kServerOffset;
        if (command < kSetBaudRate || command > kSetControl) return out;
        awaited_ &= static_cast<std::uint8_t>(~(1u << command));
        // A line set otherwise than asked is no line for the projector: say what the server set.
        const Bytes value(event.payload.begin() + 1, event.payload.end());
        const Bytes& asked = asked_[std::size_t(command)];
        if (command != kSetControl && sentSettings_ && value != asked && problem_.empty()) {
            static constexpr const char* kNames[] = {"", "baud rate", "data bits", "parity",
                                                     "stop bits"};
            auto number = [](const Bytes& bytes) {
                std::uint64_t n = 0;
                for (const std::uint8_t b : bytes) n = n << 8 | b;
                return std::to_string(n);
            };
            problem_ = "the server set the " + std::string(kNames[command]) + " to code " +
                       number(value) + ", not " + number(asked);
            if (command == kSetBaudRate)
                problem_ =
                    "the server set the line to " + number(value) + " baud, not " + number(asked);
        }
        return out;
    }
    if (event.kind != TelnetEvent::Kind::Negotiation) return out;
    // DO and DONT are about our use of an option, WILL and WONT about the server's.
    const bool ours = event.command == kDo || event.command == kDont;
    const bool request = event.command == kDo || event.command == kWill;
    auto& enabled = ours ? weWill_ : weDo_;
    const std::uint8_t yes = ours ? kWill : kDo;
    const std::uint8_t no = ours ? kWont : kDont;
    bool agreed = false;
    if (!request) {
        if (enabled[option]) append(out, {kIac, no, option});
        enabled[option] = false;
        if (ours && option == kComPort) {
            serverAgreed_ = false;
            refused_ = true;
        }
    } else if (option == kBinary || option == kSuppressGoAhead || (ours && option == kComPort)) {
        if (!enabled[option]) append(out, {kIac, yes, option});
        enabled[option] = true;
        agreed = ours && option == kComPort;
    } else {
        auto& refused = ours ? refusedWill_ : refusedDo_;
        if (!refused[option]) append(out, {kIac, no, option});
        refused[option] = true;
    }
    if (answered_ + out.size() > kMaxNegotiationAnswers) out.clear();
    answered_ += out.size();
    if (agreed) {
        serverAgreed_ = true;
        refused_ = false;
        if (!sentSettings_) {
            const Bytes settings = lineSettings();
            out.insert(out.end(), settings.begin(), settings.end());
        }
    }
    return out;
}

Bytes ComPortClient::setLine(LineSettings line) {
    line_ = line;
    return serverAgreed_ ? lineSettings() : Bytes{};
}

ComPortClient::Status ComPortClient::status() const {
    if (refused_ || !problem_.empty()) return Status::Refused;
    return serverAgreed_ && sentSettings_ && awaited_ == 0 ? Status::Ready : Status::Negotiating;
}

Bytes ComPortClient::lineSettings() {
    sentSettings_ = true;
    awaited_ = kAllSettings;
    Bytes out;
    auto command = [this, &out](std::uint8_t name, std::initializer_list<std::uint8_t> value) {
        asked_[name] = Bytes(value);
        append(out, {kIac, kSb, kComPort, name});
        // A value byte of 0xFF is doubled like data.
        const Bytes escaped = escapeTelnetData(Bytes(value));
        out.insert(out.end(), escaped.begin(), escaped.end());
        append(out, {kIac, kSe});
    };
    // RFC 2217's codes, in the order of LineSettings' enumerations.
    constexpr std::uint8_t kParityCode[] = {1, 3, 2, 4, 5};  // none, even, odd, mark, space
    constexpr std::uint8_t kStopCode[] = {1, 3, 2};          // 1, 1.5, 2
    const auto baud = std::uint32_t(line_.baud);
    command(kSetBaudRate, {std::uint8_t(baud >> 24), std::uint8_t(baud >> 16),
                           std::uint8_t(baud >> 8), std::uint8_t(baud)});
    command(kSetDataSize, {std::uint8_t(line_.dataBits)});
    command(kSetParity, {kParityCode[int(line_.parity)]});
    command(kSetStopSize, {kStopCode[int(line_.stopBits)]});
    command(kSetControl, {kNoFlowControl});
    return out;
}

}  // namespace tolvane
