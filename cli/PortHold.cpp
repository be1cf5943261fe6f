#include "cli/PortHold.h"

#include <iostream>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"

namespace {

constexpr uint32_t kHoldSliceMs = 1000;

} // namespace

CCliReport RunHold(const std::vector<std::string>& devices, CRunShared& shared)
{
    CCliReport report;
    report.strCommand = kHoldCommandName;
    CBenchRow outcome;
    CCardPorts ports;
    std::vector<std::string> shown;
    for (const std::string& strDevice : devices) {
        ports.devices.push_back(SerialDeviceOfName(strDevice));
        shown.push_back(PrintableText(ports.devices.back()));
    }
    for (const std::string& strShown : shown) {
        if (!outcome.strPort.empty())
            outcome.strPort.push_back(' ');
        outcome.strPort.append(strShown);
    }
    const CPortClaim claim = ClaimCardPorts(ports, shared, true);
    outcome.holders = claim.holders;
    outcome.bModemManagerInhibited = claim.bInhibited;
    if (claim.Refused()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = claim.strRefusal;
    } else {
        {
            std::lock_guard<std::mutex> lock(shared.errMutex);
            std::cerr << "held: " << outcome.strPort << std::endl;
        }
        while (!Interrupted())
            shared.pClock->Sleep(kHoldSliceMs);
        ReleaseModemManager();
        outcome.strMessage = "released";
    }
    report.nStatus = outcome.nStatus;
    report.strMessage = outcome.strMessage;
    report.outcomes.push_back(outcome);
    return report;
}
