// Bytes from a serial device server, through the Telnet decoder and the COM-PORT-OPTION client,
// fed in chunks whose sizes the input chooses: nothing crashes, the data bytes are those of a
// single feed, every event is bounded, and the client's answers stay within their bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "transport/telnet.h"

using namespace tolvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + input[0] % 16;
    const std::span<const std::uint8_t> stream(input + 1, size - 1);

    TelnetDecoder whole;
    Bytes wholeData;
    std::vector<TelnetEvent> wholeEvents;
    whole.feed(stream, wholeData, wholeEvents);

    TelnetDecoder chunked;
    Bytes data;
    std::vector<TelnetEvent> events;
    ComPortClient client(LineSettings{});
    std::size_t said = client.start().size();
    for (std::size_t at = 0; at < stream.size(); at += step) {
        const std::size_t before = events.size();
        chunked.feed(stream.subspan(at, std::min(step, stream.size() - at)), data, events);
        for (std::size_t i = before; i < events.size(); ++i) {
            if (events[i].payload.size() > kMaxSubnegotiation) std::abort();
            said += client.onEvent(events[i]).size();
        }
    }
    if (data != wholeData || events != wholeEvents) std::abort();
    if (data.size() > stream.size()) std::abort();
    // Beside the opening and the one set of settings (38 bytes), answers are bounded.
    if (said > 15 + 38 + kMaxNegotiationAnswers) std::abort();
    return 0;
}
