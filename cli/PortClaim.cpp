#include "cli/PortClaim.h"

#include <algorithm>

#include "cli/CliPlatform.h"

namespace {

constexpr uint32_t kLookPeriodMs = 100;

std::vector<CPortHolder> Look(const CCardPorts& ports, const CClaimContext& ctx)
{
    bool bBlind = false;
    std::vector<CPortHolder> holders = ctx.pScan->HoldersOf(ports.devices, bBlind);
    if (bBlind && ctx.note)
        ctx.note("other users' processes cannot be seen without root: a port they hold is not found here");
    return holders;
}

bool IsModemManager(const CPortHolder& holder, long nManagerPid)
{
    return (nManagerPid && holder.nPid == nManagerPid) || holder.strName == "ModemManager";
}

bool ByModemManagerOnly(const std::vector<CPortHolder>& holders, long nManagerPid)
{
    return std::all_of(holders.begin(), holders.end(),
                       [&](const CPortHolder& holder) { return IsModemManager(holder, nManagerPid); });
}

std::string Refusal(const std::vector<CPortHolder>& holders, const std::string& strWhy = "")
{
    return (strWhy.empty() ? "" : strWhy + "; ") + HoldersText(holders) + ": nothing was sent to the card";
}

std::string Where(const CCardPorts& ports)
{
    return !ports.strSlot.empty() ? ports.strSlot : ports.devices.empty() ? "the card" : ports.devices.front();
}

} // namespace

CPortClaim ClaimPorts(const CCardPorts& ports, const CClaimContext& ctx)
{
    CPortClaim claim;
    claim.holders = Look(ports, ctx);
    if (claim.holders.empty())
        return claim;
    // Only a port that ModemManager holds is worth asking it over the system bus; whatever else
    // holds one is refused as it is.
    if (!ctx.bInhibit || std::none_of(claim.holders.begin(), claim.holders.end(),
                                      [](const CPortHolder& holder) { return IsModemManager(holder, 0); })) {
        claim.strRefusal = Refusal(claim.holders);
        return claim;
    }
    // ModemManager may still be probing the card (it holds a port, has no modem yet): bounded.
    const uint32_t nStart = ctx.pClock->GetTickCount();
    uint32_t nDeadline = kModemManagerProbeMs;
    while (!claim.holders.empty()) {
        const CInhibitAnswer answer = InhibitModemManager(ports.strSlot, ports.devices);
        if (answer.eInhibit == EInhibit::kRefused) {
            claim.strRefusal = Refusal(claim.holders, answer.strWhy);
            return claim;
        }
        if (answer.eInhibit == EInhibit::kInhibited && !claim.bInhibited) {
            claim.bInhibited = true;
            nDeadline = ctx.pClock->GetTickCount() - nStart + kModemManagerCloseMs;
            if (ctx.note)
                ctx.note("ModemManager inhibited on " + Where(ports));
        }
        const bool bProbing = answer.eInhibit == EInhibit::kNoModem && ByModemManagerOnly(claim.holders, answer.nManagerPid);
        if (!claim.bInhibited && !bProbing) {
            claim.strRefusal = Refusal(claim.holders);
            return claim;
        }
        if (ctx.pClock->GetTickCount() - nStart >= nDeadline || (ctx.stopNow && ctx.stopNow())) {
            claim.strRefusal = Refusal(claim.holders, claim.bInhibited ? "ModemManager let go of the card but did not "
                                                                         "close its ports in time"
                                                                       : "ModemManager is still probing the card");
            return claim;
        }
        ctx.pClock->Sleep(kLookPeriodMs);
        claim.holders = Look(ports, ctx);
    }
    return claim;
}

std::vector<CPortHolder> HoldersAfterRun(const CCardPorts& ports, const CClaimContext& ctx)
{
    return Look(ports, ctx);
}

std::string SharedPortMessage(const std::vector<CPortHolder>& holders)
{
    return "shared port: " + HoldersText(holders) + " (opened while the commands ran: the card's answers "
                                                    "cannot be trusted)";
}
