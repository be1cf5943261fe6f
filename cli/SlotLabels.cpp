#include "cli/SlotLabels.h"

#include "discovery/Slot.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "cli/Transcript.h"

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// A --slots file larger than this is no bench's list of labels.
constexpr std::uintmax_t kMaxSlotsFileSize = 1 << 20;

} // namespace

std::string CSlotLabels::LabelOf(const std::string& strSlot) const
{
    const auto it = labelOfSlot.find(strSlot);
    return it == labelOfSlot.end() ? std::string() : it->second;
}

std::optional<CSlotLabelsError> ParseSlotLabels(const std::string& strText, CSlotLabels& labels)
{
    CSlotLabels parsed;
    // Notepad saves UTF-8 with a byte-order mark: it is no part of the first label.
    std::istringstream in(strText.starts_with(kByteOrderMark) ? strText.substr(3) : strText);
    std::string strLine;
    for (int nLine = 1; std::getline(in, strLine); ++nLine) {
        // Tabs and the CR of a CRLF line are spaces here; any other control byte or a byte that is not
        // UTF-8 means this is no list of labels (a binary file named by mistake).
        std::string strSpaced = strLine;
        for (char& c : strSpaced)
            c = c == '\t' || c == '\r' ? ' ' : c;
        if (PrintableText(strSpaced) != strSpaced)
            return CSlotLabelsError{nLine, "is not text: " + PrintableText(strLine.substr(0, 40)) +
                                               (strLine.size() > 40 ? "..." : "")};
        const size_t nComment = strLine.find('#');
        if (nComment != std::string::npos)
            strLine.erase(nComment);
        std::istringstream fields(strLine);   // splits at spaces, tabs and a CR before the LF
        std::vector<std::string> words;
        for (std::string strWord; fields >> strWord;)
            words.push_back(strWord);
        if (words.empty())
            continue;
        if (words.size() != 2)
            return CSlotLabelsError{nLine, "needs two fields, LABEL SLOT, but has " + std::to_string(words.size())};
        const std::string& strLabel = words[0];
        // A Windows topology address (as Device Manager shows it) names the slot it gives.
        const std::string strAddressSlot = SlotOfTopologyAddress(words[1]);
        const std::string strSlot = strAddressSlot.empty() ? words[1] : strAddressSlot;
        if (parsed.slotOfLabel.count(strLabel))
            return CSlotLabelsError{nLine, "the label " + PrintableText(strLabel) + " is given twice"};
        if (parsed.labelOfSlot.count(strSlot))
            return CSlotLabelsError{nLine, "the slot " + PrintableText(strSlot) + " is given twice"};
        parsed.slotOfLabel[strLabel] = strSlot;
        parsed.labelOfSlot[strSlot] = strLabel;
    }
    labels = std::move(parsed);
    return std::nullopt;
}

std::optional<std::string> ReadSlotLabelsFile(const std::string& strPath, CSlotLabels& labels)
{
    const std::string strShown = "--slots " + PrintableText(strPath);
    std::error_code error;
    // Only a regular file: a pipe nobody writes would block the open, a device may never end.
    const std::filesystem::file_status status = std::filesystem::status(strPath, error);
    if (error)
        return strShown + ": cannot be read: " + ErrorCodeText(error);
    if (!std::filesystem::is_regular_file(status))
        return strShown + ": cannot be read: not a regular file";
    const std::uintmax_t nSize = std::filesystem::file_size(strPath, error);
    if (error || nSize > kMaxSlotsFileSize)
        return strShown + ": cannot be read: " + (error ? ErrorCodeText(error) : std::string("larger than 1 MiB"));
    errno = 0;
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return strShown + ": cannot be read: " +
               (errno ? ErrorCodeText(std::error_code(errno, std::generic_category())) : std::string("open failed"));
    std::ostringstream text;
    text << in.rdbuf();
    if (const std::optional<CSlotLabelsError> bad = ParseSlotLabels(text.str(), labels))
        return strShown + ": line " + std::to_string(bad->nLine) + ": " + bad->strProblem;
    return std::nullopt;
}
