#include "cli/RunOutput.h"

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/History.h"
#include "cli/Interrupt.h"
#include "serial/SerialPort.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

std::string JsonText(const nlohmann::json& j)
{
    return JsonDumpText(j);
}

// The ports and cards a run goes to, as the transcript's header names them.
std::string TargetText(const std::vector<CTarget>& targets)
{
    if (targets.empty())
        return "none";
    std::string str;
    for (const CTarget& target : targets) {
        str += str.empty() ? "" : ", ";
        str += target.strPort.empty() ? "card " + PrintableText(target.strCard)
                                      : "port " + PrintableText(SerialDeviceOfName(target.strPort));
    }
    return str;
}

} // namespace

CCliReport FailureReport(const CCliOptions& options, int nStatus, const std::string& strMessage)
{
    CCliReport report;
    report.strCommand = options.strCommand;
    report.nStatus = nStatus;
    report.strMessage = strMessage;
    return report;
}

void WriteTranscriptHeader(CTranscript& transcript, const CCliOptions& options, const std::vector<CInventoryCard>& cards,
                           const std::vector<CTarget>& targets, const std::vector<std::string>& args)
{
    std::string strCommandLine = "vostrel-cli";
    for (const std::string& strArg : args)
        strCommandLine.append(" ").append(ArgumentShown(strArg));
    // Appended, not added: GCC 12 warns (-Warray-bounds) about its own inlined copies of such a sum.
    std::string strProgram = "vostrel-cli ";
    strProgram.append(VOSTREL_VERSION).append(" ").append(CliPlatformName());
    transcript.Note(strProgram);
    transcript.Note("command line: " + strCommandLine);
    std::string strStarted = "started ";
    strStarted.append(transcript.StartedUtc()).append("; the ms of each line count from then");
    transcript.Note(strStarted);
    if (options.pCommand)
        transcript.Note("target: " + TargetText(targets));
    transcript.Note(cards.empty() ? "cards: none found" : "cards:");
    for (const std::string& strLine : ListLines(cards, &options.labels))
        transcript.Note(strLine);
}

void FinishTranscript(CTranscript& transcript, const std::string& strPath, CCliReport& report)
{
    if (!transcript.IsOpen())
        return;
    if (report.outcomes.empty() && report.nStatus != kCliOk)
        transcript.Note("outcome " + report.strMessage);
    for (const CBenchRow& outcome : report.outcomes)
        transcript.Note("outcome " + OutcomeLine(report.strCommand, outcome));
    const auto [strCall, nCode] = transcript.Finish();
    if (strCall.empty())
        return;
    const std::string strProblem = "the transcript " + PrintableText(strPath) + " is incomplete: " + strCall + ": " +
                                   DescribeFileError({strCall, nCode}, strPath);
    report.nStatus = std::max<int>(report.nStatus, kCliPortFailed);
    report.strMessage = report.strMessage.empty() ? strProblem : report.strMessage + "; " + strProblem;
    std::cerr << "vostrel-cli: " << strProblem << std::endl;
}

int PrintReport(const CCliOptions& options, const CCliReport& report)
{
    const bool bFailedOutsideResults = report.nStatus != kCliOk && report.outcomes.empty() &&
                                       !(report.pCards && report.nStatus == kCliPortFailed);
    std::string strOut;
    if (options.bJson) {
        strOut = JsonText(ReportJson(report)) + "\n";
    } else if (report.pCards) {
        for (const std::string& strLine : ListLines(*report.pCards, report.pLabels, report.bIdentity))
            strOut += strLine + "\n";
    } else {
        for (const CBenchRow& outcome : report.outcomes)
            strOut += OutcomeLine(report.strCommand, outcome) + "\n";
        if (options.bAll && !report.outcomes.empty())
            strOut += SummaryLine(report.outcomes) + "\n";
    }
    if (bFailedOutsideResults || (report.pCards && report.nStatus != kCliOk))
        std::cerr << "vostrel-cli: " << report.strMessage << std::endl;
    if (!options.bJson) {
        for (const std::string& strWarning : report.warnings)
            std::cerr << "vostrel-cli: warning: " << strWarning << std::endl;
    }
    errno = 0;
    if (std::fwrite(strOut.data(), 1, strOut.size(), stdout) != strOut.size() || std::fflush(stdout) != 0)
        return errno ? errno : EIO;
    return 0;
}

int FinishStandardOutput(int nStatus, int nWriteError)
{
    const char* pszCall = "write";
    if (nWriteError == 0) {
        errno = 0;
        if (std::fclose(stdout) == 0)
            return Interrupted() ? InterruptStatus() : nStatus;
        pszCall = "close";
        nWriteError = errno ? errno : EIO;
    }
    std::cerr << "vostrel-cli: standard output: " << pszCall << ": " << DescribeFileError({pszCall, nWriteError}, "")
              << std::endl;
    // A closed pipe's signal, noted while the report was written, ends the run with its own status.
    if (Interrupted())
        return InterruptStatus();
    return nStatus == kCliOk ? kCliPortFailed : nStatus;
}
