#pragma once
// The bench's labels for its slots (--slots FILE): one "LABEL SLOT" per line ("A1 1-4.1"), blank
// lines and "#" comments allowed.
#include <map>
#include <optional>
#include <string>

struct CSlotLabels {
    std::map<std::string, std::string> labelOfSlot;
    std::map<std::string, std::string> slotOfLabel;

    // The slot's label, empty when it has none.
    std::string LabelOf(const std::string& strSlot) const;
};

struct CSlotLabelsError {
    int nLine = 0;            // 1-based
    std::string strProblem;   // "needs two fields, LABEL SLOT, but has 3"
};

// The labels in the file's text; the first bad line on failure: one without exactly two fields,
// or a label or a slot given twice.
std::optional<CSlotLabelsError> ParseSlotLabels(const std::string& strText, CSlotLabels& labels);
