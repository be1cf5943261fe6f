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
    CCardOutcome outcome;
    CCardPorts ports;
    for (const std::string& strDevice : devices) {
        ports.devices.push_back(SerialDeviceOfName(strDevice));
        outcome.strPort += (outcome.strPort.empty() ? "" : " ") + PrintableText(ports.devices.back());
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
