#include "protocol/key_table.h"

namespace tolvane {

std::array<std::uint8_t, kKeyPayloadSize> keyPayload(std::uint8_t payload1, std::uint8_t code) {
    return {payload1,
            kKeyPayloadMiddle[0],
            kKeyPayloadMiddle[1],
            kKeyPayloadMiddle[2],
            kKeyPayloadBeforeCode,
            code,
            kKeyPayloadLast};
}

Bytes keyFrame(const KeyCommand& key) {
    return encodeFrame(keyPayload(key.payload1, key.code));
}

Bytes leadInFrame(const KeyCommand& key) {
    return encodeFrame(keyPayload(key.payload1, kLeadInCode));
}

Bytes probeFrame() {
    return encodeFrame(kProbePayload);
}

}  // namespace tolvane
