#include "cli/SlotLabels.h"

#include "discovery/Slot.h"

#include <sstream>
#include <vector>

#include "cli/Transcript.h"

std::string CSlotLabels::LabelOf(const std::string& strSlot) const
{
    const auto it = labelOfSlot.find(strSlot);
    return it == labelOfSlot.end() ? std::string() : it->second;
}

std::optional<CSlotLabelsError> ParseSlotLabels(const std::string& strText, CSlotLabels& labels)
{
    CSlotLabels parsed;
    std::istringstream in(strText);
    std::string strLine;
    for (int nLine = 1; std::getline(in, strLine); ++nLine) {
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
