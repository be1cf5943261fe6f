#include "cli/BenchView.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Transcript.h"

namespace {

std::string CellText(const std::string& str)
{
    const std::string strCell = PrintableText(str);
    return strCell.empty() ? "-" : strCell;
}

// At most nWidth bytes, never ending inside a character (the text is valid UTF-8 by now).
std::string Cut(const std::string& str, size_t nWidth)
{
    if (str.size() <= nWidth)
        return str;
    size_t nEnd = nWidth;
    while (nEnd > 0 && (static_cast<unsigned char>(str[nEnd]) & 0xC0) == 0x80)
        --nEnd;
    return str.substr(0, nEnd);
}

std::string Tenths(double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.1f", dSeconds);
    return szText;
}

// As OutcomeLine words a card's result.
std::string ResultText(const CBenchRow& row)
{
    if (!row.bFinished)
        return row.strMessage;
    if (row.nStatus == kCliOk)
        return row.strMessage.empty() ? "ok" : row.strMessage;
    return "failed (" + std::to_string(row.nStatus) + "): " + row.strMessage;
}

struct CColumn {
    const char* pszName;
    size_t nMax;     // wider values are cut: a card may answer AT+CGMM with a page of text
    bool bRight;
};
constexpr std::array<CColumn, 8> kColumns = {{{"label", 16, false}, {"slot", 16, false}, {"model", 20, false},
                                              {"IMEI", 17, false}, {"command", 16, false}, {"phase", 7, false},
                                              {"seconds", 8, true}, {"result", 0, false}}};
using CCells = std::array<std::string, kColumns.size()>;

CCells RowCells(const CBenchRow& row)
{
    return {CellText(row.strLabel), CellText(row.strSlot), CellText(row.strModel), CellText(row.strImei),
            CellText(row.strCommand), SwitchPhaseName(row.ePhase), Tenths(row.dSeconds),
            CellText(ResultText(row))};
}

std::string SummaryText(const std::vector<CBenchRow>& rows)
{
    size_t nDone = 0;
    size_t nFailed = 0;
    double dLongest = 0;
    for (const CBenchRow& row : rows) {
        nDone += row.bFinished && row.nStatus == kCliOk ? 1 : 0;
        nFailed += row.bFinished && row.nStatus != kCliOk ? 1 : 0;
        dLongest = std::max(dLongest, row.dSeconds);
    }
    return std::to_string(rows.size()) + (rows.size() == 1 ? " card: " : " cards: ") + std::to_string(nDone) +
           " done, " + std::to_string(nFailed) + " failed, " + std::to_string(rows.size() - nDone - nFailed) +
           " running  " + Tenths(dLongest) + " s";
}

} // namespace

std::vector<std::string> BenchTableLines(const std::vector<CBenchRow>& rows, size_t nWidth)
{
    std::vector<CCells> table(1);
    for (size_t n = 0; n < kColumns.size(); ++n)
        table[0][n] = kColumns[n].pszName;
    for (const CBenchRow& row : rows)
        table.push_back(RowCells(row));

    std::array<size_t, kColumns.size()> widths {};
    for (CCells& cells : table)
        for (size_t n = 0; n + 1 < kColumns.size(); ++n) {
            cells[n] = Cut(cells[n], kColumns[n].nMax);
            widths[n] = std::max(widths[n], cells[n].size());
        }

    std::vector<std::string> lines;
    for (const CCells& cells : table) {
        std::string strLine;
        for (size_t n = 0; n + 1 < kColumns.size(); ++n) {
            const std::string strPad(widths[n] - cells[n].size(), ' ');
            strLine += kColumns[n].bRight ? strPad + cells[n] : cells[n] + strPad;
            strLine += "  ";
        }
        lines.push_back(Cut(strLine + cells.back(), nWidth));
    }
    lines.push_back(Cut(SummaryText(rows), nWidth));
    return lines;
}

CBenchView::CBenchView(CBenchBoard& board, FILE* pStream, IClock& clock)
    : m_board(board), m_pStream(pStream), m_clock(clock)
{
    m_thread = std::thread(&CBenchView::Run, this);
}

CBenchView::~CBenchView()
{
    Finish();
}

void CBenchView::Finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bFinished)
        return;
    m_bFinished = true;
    m_bStop = true;
    m_thread.join();
    Draw();
}

void CBenchView::Run()
{
    unsigned long nSeen = 0;
    while (!m_bStop) {
        Draw();
        nSeen = m_board.WaitForChange(nSeen, 250);
    }
}

void CBenchView::Draw()
{
    // One column short of the terminal: a line that fills the last column leaves some consoles'
    // cursor on the next line already, and the count of lines to go back up would miss it.
    const size_t nWidth = TerminalWidth(m_pStream);
    const std::vector<CBenchRow> rows = RowsSoFar(m_board.Snapshot(), m_clock.GetTickCount());
    const std::vector<std::string> lines = BenchTableLines(rows, nWidth > 1 ? nWidth - 1 : 1);
    std::string strFrame;
    if (m_nLinesDrawn > 0)
        strFrame += "\x1b[" + std::to_string(m_nLinesDrawn) + "A";
    for (const std::string& strLine : lines)
        strFrame += "\r\x1b[2K" + strLine + "\n";
    strFrame += "\x1b[J";   // a table that shrank leaves nothing of its old lines below
    std::fwrite(strFrame.data(), 1, strFrame.size(), m_pStream);
    std::fflush(m_pStream);
    m_nLinesDrawn = lines.size();
}
