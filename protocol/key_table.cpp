#include "protocol/key_table.h"

namespace tolvane {

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
