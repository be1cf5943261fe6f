// Wall time of the main dialog's own timing on the real clock, natively: a CMainDlg on the headless
// window, the POSIX serial port on two simulated cards on pseudo-terminals (the modem port as COM5,
// the diagnostic port as COM6) and the cards' driver entries in an in-memory registry.
//
//   connected monitor pass  from the first probe of one pass to the first probe of the next, by the
//                           card's own clock; ideal: the pass's 2900 ms of fixed waits + two probes
//   close command           click to its box; ideal: 5000 ms of fixed waits + its exchanges
//   open command            click to its box; ideal: 2000 ms of fixed waits + its exchanges
//
// An exchange with an answering card ideally costs two poll cycles (300 ms); the exchanges a command
// made are the command lines the card received between the click and the box.
//
// usage: bench_dialog [RUNS]   (default 3 passes and 3 runs of each command)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/MainDlg.h"
#include "bench/BenchStats.h"
#include "discovery/memory/MemoryRegistry.h"
#include "platform/Clock.h"
#include "tools/cardsim/pty/PtyCard.h"
#include "tests/support/headless/HeadlessWindow.h"

namespace {

constexpr double kExchangeMs = 300;           // two 150 ms poll cycles
constexpr double kPassWaitsMs = 2900;         // 200 + 200 + 500 + 1000 + 1000
constexpr int kProbesPerPass = 2;
constexpr double kCloseWaitsMs = 5000;        // 2000 (window) + 2000 (worker) + 1000 between the two
constexpr double kOpenWaitsMs = 2000;         // 1000 before each of the two switches
// Probes of one pass are 800 ms apart (a resend inside a probe 1200 ms); passes at least 2400 ms.
constexpr uint64_t kPassGapMs = 1800;

using Clock = std::chrono::steady_clock;

bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

SBenchResult SummaryOf(std::vector<double> samples, int nFailures)
{
    SBenchResult result;
    result.nRounds = static_cast<int>(samples.size());
    result.nFailures = nFailures;
    if (samples.empty())
        return result;
    result.dMedianMs = MedianOf(samples);
    result.dMinMs = samples.front();
    result.dMaxMs = samples.back();
    return result;
}

// Card times (ms) of the first probe of each pass: an "AT" that comes a pass gap after the one before.
std::vector<uint64_t> PassStarts(const std::vector<CardTranscriptLine>& transcript)
{
    std::vector<uint64_t> starts;
    bool bAnyProbe = false;
    uint64_t nLastProbe = 0;
    for (const CardTranscriptLine& line : transcript) {
        if (line.strLine != "AT")
            continue;
        if (!bAnyProbe || line.nTimeMs - nLastProbe > kPassGapMs)
            starts.push_back(line.nTimeMs);
        bAnyProbe = true;
        nLastProbe = line.nTimeMs;
    }
    return starts;
}

void AddDriver(CMemoryRegistry& registry, const std::string& strService, const std::string& strInstance, int nCom)
{
    const std::string strEnum = "SYSTEM\\CurrentControlSet\\Services\\" + strService + "\\Enum";
    registry.SetDword(strEnum, "Count", 1);
    registry.SetString(strEnum, "0", strInstance);
    registry.SetString("SYSTEM\\CurrentControlSet\\Enum\\" + strInstance + "\\Device Parameters", "PortName",
                       "COM" + std::to_string(nCom));
}

// The box a command ended with: when it opened, its caption, and the card's line count then.
struct CBoxSeen {
    std::mutex mutex;
    bool bSeen = false;
    Clock::time_point when;
    std::string strCaption;
    size_t nCardLines = 0;

    void Reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        bSeen = false;
    }
    bool Seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bSeen;
    }
};

// The runs of one command: wall time to the box, and each run's fixed waits plus its exchanges.
struct CCommandRuns {
    std::vector<double> times;
    std::vector<double> ideals;
    int nFailures = 0;
};

class CDialogBench {
public:
    CDialogBench(CPtyCard& modem, CMainDlg& dlg) : m_modem(modem), m_dlg(dlg) {}

    // Called on the thread that opens the box; the box closes (OK) at once.
    int OnBox(const HeadlessBox& box)
    {
        std::lock_guard<std::mutex> lock(m_box.mutex);
        m_box.when = Clock::now();
        m_box.strCaption = box.strCaption;
        m_box.nCardLines = m_modem.Transcript().size();
        m_box.bSeen = true;
        return ui::kIdOk;
    }

    // Waits for a show step that finds the card answering, as a user would click right after it: the
    // monitor then rests, so the click's suspension does not wait for a probe in progress.
    bool WaitFreshReady()
    {
        CHeadlessWindow window = HeadlessWindowOf(m_dlg);
        window.ClearLog();
        const std::string strExitEnabled = "enable " + ResourceName(IDC_EXIT_DOWNLOAD) + " 1";
        return PollUntil([&] {
            const std::vector<std::string> log = window.Log();
            return std::find(log.begin(), log.end(), strExitEnabled) != log.end()
                && window.Control(IDC_STATUS_PICTURE).nBitmap == IDB_READY && window.Control(IDC_ENTER_DOWNLOAD).bEnabled;
        }, std::chrono::seconds(20));
    }

    SBenchResult MeasurePasses(int nPasses)
    {
        std::vector<uint64_t> starts;
        PollUntil([&] {
            starts = PassStarts(m_modem.Transcript());
            return starts.size() > static_cast<size_t>(nPasses);
        }, std::chrono::milliseconds(static_cast<int>((nPasses + 2) * 2 * (kPassWaitsMs + 1000))));
        std::vector<double> periods;
        for (size_t n = 1; n < starts.size() && periods.size() < static_cast<size_t>(nPasses); ++n)
            periods.push_back(static_cast<double>(starts[n] - starts[n - 1]));
        return SummaryOf(periods, nPasses - static_cast<int>(periods.size()));
    }

    // One click of button nButton on the window's thread (this one) once the card is ready, timed to
    // the command's box. False when the card never got ready or no box came.
    bool MeasureCommand(int nButton, double dWaitsMs, CCommandRuns& runs)
    {
        if (!WaitFreshReady())
            return false;
        m_box.Reset();
        const size_t nLinesBefore = m_modem.Transcript().size();
        const Clock::time_point start = Clock::now();
        m_dlg.Dispatch(ui::kWmCommand, (static_cast<uintptr_t>(ui::kBnClicked) << 16) | static_cast<unsigned>(nButton), 0);
        if (!PollUntil([&] { return m_box.Seen(); }, std::chrono::seconds(60)))
            return false;
        std::lock_guard<std::mutex> lock(m_box.mutex);
        runs.times.push_back(std::chrono::duration<double, std::milli>(m_box.when - start).count());
        runs.ideals.push_back(dWaitsMs + kExchangeMs * static_cast<double>(m_box.nCardLines - nLinesBefore));
        return m_box.strCaption == "Success";
    }

private:
    CPtyCard& m_modem;
    CMainDlg& m_dlg;
    CBoxSeen m_box;
};

// A directory of its own for the run: the dialog keeps its settings file in the working directory
// and its single-instance lock in XDG_RUNTIME_DIR, and neither may meet a running copy's.
std::filesystem::path EnterPrivateDirectory()
{
    std::string strTemplate = (std::filesystem::temp_directory_path() / "bench-dialog.XXXXXX").string();
    if (!mkdtemp(strTemplate.data()))
        return {};
    if (chdir(strTemplate.c_str()) != 0)
        return {};
    setenv("XDG_RUNTIME_DIR", strTemplate.c_str(), 1);
    return strTemplate;
}

} // namespace

int main(int argc, char** argv)
{
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    const std::filesystem::path privateDir = EnterPrivateDirectory();
    if (privateDir.empty()) {
        std::fprintf(stderr, "bench_dialog: cannot make a private working directory\n");
        return 1;
    }
    CPtyCard modem;
    CPtyCard diag;
    if (!modem.Start() || !diag.Start()) {
        std::fprintf(stderr, "bench_dialog: the simulated cards did not start\n");
        return 1;
    }
    setenv("VOSTREL_COM5", modem.SlavePath().c_str(), 1);
    setenv("VOSTREL_COM6", diag.SlavePath().c_str(), 1);
    CMemoryRegistry registry;
    AddDriver(registry, "YARLOusbmdm6k", "USB\\VID_1E0E&PID_9001\\1", 5);
    AddDriver(registry, "YARLOusbser6k", "USB\\VID_1E0E&PID_9001\\2", 6);

    int nUnexpected = 0;
    {
        CMonitorGate gate;
        CPortMonitor monitor(SystemClock(), registry, gate);
        CMainDlg dlg(monitor, CToolEnv{&SystemClock()});
        CDialogBench bench(modem, dlg);
        CHeadlessWindow window = HeadlessWindowOf(dlg);
        window.SetBoxHandler([&](const HeadlessBox& box) { return bench.OnBox(box); });
        window.Create();
        std::printf("CMainDlg, headless window, POSIX serial port: modem card on %s, diagnostic card on %s\n",
                    modem.SlavePath().c_str(), diag.SlavePath().c_str());

        const double dPassIdealMs = kPassWaitsMs + kProbesPerPass * kExchangeMs;
        const SBenchResult pass = bench.MeasurePasses(nRuns);
        PrintResult("connected monitor pass", pass, dPassIdealMs);
        PrintFigure("pass", "native", pass, dPassIdealMs);

        // Alternating, as a user would use them: each command starts from a ready card.
        CCommandRuns close;
        CCommandRuns open;
        for (int nRun = 0; nRun < nRuns; ++nRun) {
            if (!bench.MeasureCommand(IDC_ENTER_DOWNLOAD, kCloseWaitsMs, close))
                ++close.nFailures;
            if (!bench.MeasureCommand(IDC_EXIT_DOWNLOAD, kOpenWaitsMs, open))
                ++open.nFailures;
        }
        for (auto [pszKey, pszWhat, pRuns] : {std::tuple{"close", "close command, click to box", &close},
                                              std::tuple{"open", "open command, click to box", &open}}) {
            const SBenchResult result = SummaryOf(pRuns->times, pRuns->nFailures);
            const double dIdealMs = MedianOf(pRuns->ideals);
            PrintResult(pszWhat, result, dIdealMs);
            PrintFigure(pszKey, "native", result, dIdealMs);
            nUnexpected += result.nFailures;
        }
        nUnexpected += pass.nFailures;
        window.Destroy();
    }
    std::filesystem::remove_all(privateDir);
    return nUnexpected == 0 ? 0 : 1;
}
