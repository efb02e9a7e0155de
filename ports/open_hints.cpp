#include "ports/open_hints.h"

namespace tolvane {

std::vector<std::string> openFailureHints(const OpenFailureFacts& facts) {
    using Why = OpenFailureFacts::Why;
    std::vector<std::string> hints;
    if (facts.why == Why::Denied && !facts.deviceGroup.empty() && !facts.inDeviceGroup)
        hints.push_back("you are not in the group " + facts.deviceGroup +
                        " of the device: sudo usermod -aG " + facts.deviceGroup +
                        " $USER, then log out and in again");
    else if (facts.why == Why::Denied)
        hints.push_back(facts.mayAccess ? "is another program using the port?"
                                        : "is the user in the dialout group?");
    // brltty takes some adapters as braille displays: the device vanishes or is held.
    if (facts.brlttyInstalled && facts.usbAdapter &&
        (facts.why == Why::Missing || facts.why == Why::Busy))
        hints.push_back(
            "brltty is installed and claims some USB serial adapters: sudo apt-get remove "
            "brltty (unless a braille display needs it)");
    // ModemManager probes a new adapter for a few seconds and holds it meanwhile.
    if (facts.modemManagerRunning && (facts.why == Why::Busy || facts.why == Why::Denied))
        hints.push_back(
            "ModemManager is running and may be probing the port: sudo systemctl stop "
            "ModemManager");
    return hints;
}

std::string joinHints(const std::vector<std::string>& hints) {
    std::string text;
    for (const std::string& hint : hints)
        text += hint.ends_with('?') ? " (" + hint + ")" : "; " + hint;
    return text;
}

}  // namespace tolvane
