#include "fake_serial_layer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tolvane::testing {

Bytes parseHex(std::string_view text) {
    std::optional<Bytes> bytes = parseHexText(text);
    if (!bytes) throw std::invalid_argument("bad hex literal: " + std::string(text));
    return *std::move(bytes);
}

class FakeTransport final : public Transport {
  public:
    explicit FakeTransport(FakeSerialLayer& fake) : fake_(fake) { fake_.line_ = this; }
    ~FakeTransport() override {
        if (fake_.line_ == this) fake_.line_ = nullptr;
    }
    TransportKind kind() const override { return fake_.transport; }
    void open(const PortAddress& address, const LineSettings& settings) override {
        fake_.transcript.push_back("open " + address.path);
        take(settings);
    }
    void reopen(const PortAddress&, const LineSettings& settings) override {
        fake_.transcript.push_back("reopen");
        take(settings);
    }
    void close() override {
        if (fake_.open_) fake_.transcript.push_back("close");
        fake_.open_ = false;
    }
    bool isOpen() const override { return fake_.open_ && !fake_.failReads; }
    void apply(const LineSettings& settings) override { fake_.settings = settings; }
    bool write(std::span<const std::uint8_t> bytes) override {
        fake_.transcript.push_back("write " + toHex(bytes));
        if (fake_.writesBeforeFailure >= 0 &&
            int(fake_.written.size()) >= fake_.writesBeforeFailure)
            return false;
        fake_.written.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    // Nothing waits for a line here: bytes are taken at once.
    qint64 bytesToWrite() const override { return 0; }
    void waitForWritten(int) override {}
    qint64 bytesAvailable() override {
        fake_.transcript.push_back("count");
        if (fake_.quietBytes > 0 && std::chrono::steady_clock::now() >= fake_.quietArrival) {
            fake_.received += std::exchange(fake_.quietBytes, 0);
            fake_.quietSeen = std::chrono::steady_clock::now();
        }
        return fake_.received;
    }
    void discardInput() override {
        fake_.transcript.push_back("discard");
        fake_.received = 0;
    }
    std::string where() const override { return "fake device " + std::to_string(fake_.CommPort()); }
    void lose() {
        fake_.open_ = false;
        if (events().lost) events().lost("hung up by the test");
    }

  private:
    void take(const LineSettings& settings) {
        const auto& refused = fake_.refusedPorts;
        if (std::find(refused.begin(), refused.end(), fake_.CommPort()) != refused.end())
            throw Failure(fake_.refusal);
        fake_.settings = settings;
        fake_.open_ = true;
    }

    FakeSerialLayer& fake_;
};

FakeSerialLayer::FakeSerialLayer()
    : SerialLayer([this](const PortAddress&) { return std::make_unique<FakeTransport>(*this); },
                  [](int port) { return parsePortName("fake device " + std::to_string(port)); }) {}

void FakeSerialLayer::hangUp() {
    if (line_) line_->lose();
}

}  // namespace tolvane::testing
