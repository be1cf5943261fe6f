#include "tools/cardsim/model/CardModel.h"

#include <algorithm>
#include <cctype>

#include "serial/CardReply.h"

namespace {

// Bytes that hold no CR, no LF and no NUL, so no framed line can be cut from them.
const char kGarbage[] = "\xfe\x7f#@!%&*?~\xff";
// An unsolicited result code as cards send them while idle.
const char kBabbleLine[] = "\r\n^RSSI: 17\r\n";
// A babbling card that was not listened to for a long while does not make up all its lines.
constexpr int kMaxBabbleBurst = 16;
constexpr size_t kLongPadding = 300;
// What a flooding card sends: no CR, LF or NUL, so the stream frames no line and ends no text.
const char kFloodPattern[] = "0123456789abcdef";
// Longer than any input queue: a stream that was not taken for a while is not made up in full.
constexpr uint64_t kMaxFloodBurst = 8192;

std::string Upper(std::string str)
{
    for (char& c : str)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return str;
}

std::string Framed(const std::string& strLine)
{
    return "\r\n" + strLine + "\r\n";
}

std::string InfoThenOk(const std::string& strInfo)
{
    return Framed(strInfo) + Framed("OK");
}

// The line a raw reply answers with, as far as the card's state cares: its final result, if any.
std::string ExtractLine(const std::string& strBytes)
{
    return ParseCardReply(strBytes, "").strResult;
}

bool IsFinalResult(const std::string& strLine)
{
    return FinalResultOfLine(strLine) != EFinalResult::kNone;
}

// A command the card refuses (ERROR, +CME ERROR, NO CARRIER, ...) is not carried out.
bool IsRefusal(const std::string& strLine)
{
    const EFinalResult eResult = FinalResultOfLine(strLine);
    return eResult != EFinalResult::kNone && eResult != EFinalResult::kOk;
}

} // namespace

CCardModel::CCardModel(CardOptions options) : m_options(std::move(options)) {}

void CCardModel::SetOptions(const CardOptions& options)
{
    m_options = options;
    m_nFaultsUsed = 0;
    m_lateUsed.clear();
    m_bBabbleStarted = false;
    m_bFlooding = false;
}

std::vector<CardChunk> CCardModel::Receive(const std::string& strBytes, uint64_t nNowMs)
{
    std::vector<CardChunk> chunks;
    for (char c : strBytes) {
        if (c != '\r') {
            // The LF that some hosts send after the CR belongs to no command.
            if (c == '\n' && m_strPending.empty())
                continue;
            if (m_strPending.size() < kMaxLineLength)
                m_strPending += c;
            continue;
        }
        std::string strLine;
        strLine.swap(m_strPending);
        if (!strLine.empty())
            Answer(strLine, nNowMs, chunks);
    }
    return chunks;
}

void CCardModel::Answer(const std::string& strLine, uint64_t nNowMs, std::vector<CardChunk>& chunks)
{
    m_transcript.push_back({nNowMs, strLine});
    if (m_bReplay && AnswerFromReplay(strLine, chunks))
        return;
    if (m_bReplay && !m_bSimulateTheRest) {
        m_transcript.back().bNotInReplay = true;
        return;
    }
    const std::string strKey = Upper(strLine);

    Reply reply = ScriptedOrTable(strKey);
    const bool bFault = TakeFault();
    if (bFault) {
        switch (m_options.fault) {
        case CardFault::Silent:
            reply = {true, {}, {}};
            break;
        case CardFault::EmptyLine:
            reply = {false, "", Framed("")};
            break;
        case CardFault::Error:
            reply = {false, "ERROR", Framed("ERROR")};
            break;
        case CardFault::Garbage:
            reply = {false, "", kGarbage};
            break;
        case CardFault::LongReply:
            reply.strBody += Framed("+PAD: " + std::string(kLongPadding, 'x'));
            break;
        default:
            break;
        }
    }
    if (reply.bSilent)
        return;
    if (!IsRefusal(reply.strLine))
        CarryOut(strKey);

    std::string strEcho = m_options.bEcho && !reply.bRaw ? strLine + "\r" : "";
    std::string strBody = reply.strBody;
    if (!reply.bRaw) {
        strEcho = WithUnsolicited(CardUrcAt::BeforeEcho) + strEcho + WithUnsolicited(CardUrcAt::AfterEcho);
        // Before the reply's last framed line when that is its final result, else at its end.
        const std::string strBeforeResult = WithUnsolicited(CardUrcAt::BeforeResult);
        size_t nAt = strBody.size();
        if (strBody.size() >= 4 && strBody.ends_with("\r\n")) {
            const size_t nOpen = strBody.rfind("\r\n", strBody.size() - 3);
            if (nOpen != std::string::npos && IsFinalResult(strBody.substr(nOpen + 2, strBody.size() - 2 - nOpen - 2)))
                nAt = nOpen;
        }
        strBody.insert(nAt, strBeforeResult);
        strBody += WithUnsolicited(CardUrcAt::AfterResult);
    }
    std::vector<CardChunk> shaped = Shape(strEcho, strBody, bFault);
    if (!shaped.empty())
        shaped.front().nDelayMs += TakeLate(strKey);
    if (const std::string strLater = WithUnsolicited(CardUrcAt::Later); !reply.bRaw && !strLater.empty())
        shaped.push_back({m_options.nUrcLaterMs, strLater});
    uint64_t nAnsweredMs = nNowMs;
    for (CardChunk& chunk : shaped) {
        nAnsweredMs += chunk.nDelayMs;
        chunks.push_back(std::move(chunk));
    }
    if (bFault && m_options.fault == CardFault::Flood && !m_bFlooding) {
        m_bFlooding = true;
        m_nFloodSentMs = nAnsweredMs;
    }
}

// The framed unsolicited lines of the options at that place in a reply.
std::string CCardModel::WithUnsolicited(CardUrcAt at) const
{
    std::string str;
    for (const CardUrc& urc : m_options.unsolicited) {
        if (urc.at == at)
            str += Framed(urc.strLine);
    }
    return str;
}

// How late the reply to the command goes out: the first late answer of the options that matches it
// and has not run out.
uint32_t CCardModel::TakeLate(const std::string& strKey)
{
    m_lateUsed.resize(m_options.late.size(), 0);
    for (size_t n = 0; n < m_options.late.size(); ++n) {
        const CardLate& late = m_options.late[n];
        if ((late.strCommand != "*" && Upper(late.strCommand) != strKey) || (late.nTimes >= 0 && m_lateUsed[n] >= late.nTimes))
            continue;
        ++m_lateUsed[n];
        return late.nMs;
    }
    return 0;
}

bool CCardModel::AnswerFromReplay(const std::string& strLine, std::vector<CardChunk>& chunks)
{
    for (size_t n = m_nReplayNext; n < m_replay.size(); ++n) {
        if (m_replay[n].strCommand != strLine)
            continue;
        chunks.insert(chunks.end(), m_replay[n].chunks.begin(), m_replay[n].chunks.end());
        m_nReplayNext = n + 1;
        return true;
    }
    return false;
}

void CCardModel::SetReplay(std::vector<CardReplayStep> steps, bool bSimulateTheRest)
{
    m_bReplay = true;
    m_bSimulateTheRest = bSimulateTheRest;
    m_replay = std::move(steps);
    m_nReplayNext = 0;
}

std::vector<CardChunk> CCardModel::Shape(const std::string& strEcho, const std::string& strBody, bool bFault) const
{
    std::vector<CardChunk> chunks;
    const std::string strBytes = strEcho + strBody;
    if (bFault && m_options.fault == CardFault::PauseMidReply) {
        // The pause falls after the echo, or after the opening CR LF when there is no echo.
        const size_t nDefaultSplit = strEcho.empty() ? size_t{2} : strEcho.size();
        const size_t nSplit = std::min(strBytes.size(), m_options.nPauseAt ? m_options.nPauseAt : nDefaultSplit);
        chunks.push_back({0, strBytes.substr(0, nSplit)});
        if (nSplit < strBytes.size())
            chunks.push_back({m_options.nPauseMs, strBytes.substr(nSplit)});
    } else if (bFault && m_options.fault == CardFault::Dribble) {
        for (size_t i = 0; i < strBytes.size(); ++i)
            chunks.push_back({i == 0 ? 0 : m_options.nPauseMs, strBytes.substr(i, 1)});
    } else if (!strBytes.empty()) {
        chunks.push_back({0, strBytes});
    }
    if (m_options.nReplyDelayMs == 0 || strBody.empty())
        return chunks;

    // The echo goes out as the bytes come in; the answer waits for the card's think time.
    size_t nOffset = 0;
    for (auto it = chunks.begin(); it != chunks.end(); nOffset += it->strBytes.size(), ++it) {
        if (nOffset + it->strBytes.size() <= strEcho.size())
            continue;
        if (nOffset < strEcho.size()) {
            const size_t nEchoPart = strEcho.size() - nOffset;
            CardChunk body{0, it->strBytes.substr(nEchoPart)};
            it->strBytes.resize(nEchoPart);
            it = chunks.insert(it + 1, std::move(body));
        }
        it->nDelayMs += m_options.nReplyDelayMs;
        break;
    }
    return chunks;
}

CCardModel::Reply CCardModel::ScriptedOrTable(const std::string& strKey)
{
    auto it = m_scripts.find(strKey);
    if (it != m_scripts.end()) {
        const CardReply reply = it->second.reply;
        if (it->second.nTimes > 0 && --it->second.nTimes == 0)
            m_scripts.erase(it);
        switch (reply.kind) {
        case CardReply::Silent:
            return {true, {}, {}};
        case CardReply::EmptyLine:
            return {false, "", Framed("")};
        case CardReply::Raw:
            return {false, ExtractLine(reply.strLine), reply.strLine, true};
        case CardReply::Line:
            break;
        }
        const std::string& strLine = reply.strLine;
        return {false, strLine, IsFinalResult(strLine) ? Framed(strLine) : InfoThenOk(strLine)};
    }

    static const char* const kModeCommands[] = {"AT+YCDRUN=E", "AT+YCDRUN=F", "AT+YCDRUN=8",
                                                "AT+YCDRUN=9", "AT+YCDRUN=N"};
    if (strKey == "AT" || std::find(std::begin(kModeCommands), std::end(kModeCommands), strKey) !=
                              std::end(kModeCommands))
        return {false, "OK", Framed("OK")};
    if (strKey == "AT+CGMM")
        return {false, m_options.strModel, InfoThenOk(m_options.strModel)};
    if (strKey == "AT+CGSN")
        return {false, m_options.strImei, InfoThenOk(m_options.strImei)};
    if (strKey == "AT+YSEC?") {
        const std::string strSim = m_options.bSimPresent ? "+YSEC: 3,0" : "+YSEC: 0,0";
        return {false, strSim, InfoThenOk(strSim)};
    }
    return {false, "ERROR", Framed("ERROR")};
}

bool CCardModel::FaultActive() const
{
    return m_options.fault != CardFault::None &&
           (m_options.nFaultCount < 0 || m_nFaultsUsed < m_options.nFaultCount);
}

bool CCardModel::TakeFault()
{
    if (!FaultActive())
        return false;
    ++m_nFaultsUsed;
    return true;
}

void CCardModel::CarryOut(const std::string& strKey)
{
    if (strKey == "AT+YCDRUN=E")
        m_bAutorun = false;
    else if (strKey == "AT+YCDRUN=F")
        m_bAutorun = true;
    else if (strKey == "AT+YCDRUN=8")
        m_bDownload = true;
    else if (strKey == "AT+YCDRUN=9" || strKey == "AT+YCDRUN=N")
        m_bDownload = false;
}

std::vector<CardChunk> CCardModel::Idle(uint64_t nNowMs)
{
    if (m_options.fault == CardFault::Flood)
        return Flood(nNowMs);
    if (m_options.fault != CardFault::Babble || !FaultActive()) {
        m_bBabbleStarted = false;
        return {};
    }
    const uint64_t nPeriod = std::max<uint32_t>(m_options.nPauseMs, 1);
    if (!m_bBabbleStarted) {
        m_bBabbleStarted = true;
        m_nNextBabbleMs = nNowMs + nPeriod;
        return {};
    }
    std::vector<CardChunk> chunks;
    while (m_nNextBabbleMs <= nNowMs && static_cast<int>(chunks.size()) < kMaxBabbleBurst) {
        chunks.push_back({0, kBabbleLine});
        m_nNextBabbleMs += nPeriod;
    }
    if (m_nNextBabbleMs <= nNowMs)
        m_nNextBabbleMs = nNowMs + nPeriod;
    return chunks;
}

std::vector<CardChunk> CCardModel::Flood(uint64_t nNowMs)
{
    if (!m_bFlooding || nNowMs <= m_nFloodSentMs)
        return {};
    const uint64_t nBytes = std::min((nNowMs - m_nFloodSentMs) * kFloodBytesPerMs, kMaxFloodBurst);
    m_nFloodSentMs = nNowMs;
    std::string str;
    str.reserve(static_cast<size_t>(nBytes));
    const size_t nPattern = sizeof kFloodPattern - 1;
    for (uint64_t i = 0; i < nBytes; ++i)
        str += kFloodPattern[i % nPattern];
    return {{0, std::move(str)}};
}

void CCardModel::Script(const std::string& strCommand, CardReply reply, int nTimes)
{
    const std::string strKey = Upper(strCommand);
    if (nTimes == 0) {
        m_scripts.erase(strKey);
        return;
    }
    m_scripts[strKey] = {std::move(reply), nTimes < 0 ? -1 : nTimes};
}

void CCardModel::ClearScripts()
{
    m_scripts.clear();
}

int CCardModel::CountOf(const std::string& strCommand) const
{
    return static_cast<int>(std::count_if(m_transcript.begin(), m_transcript.end(),
                                          [&](const CardTranscriptLine& line) { return line.strLine == strCommand; }));
}
