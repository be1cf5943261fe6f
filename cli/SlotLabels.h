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

// The labels in the file's text (a UTF-8 byte-order mark before it is no part of the first label);
// the first bad line on failure: one that is not text (control bytes, bytes that are not UTF-8), one
// without exactly two fields, or a label or a slot given twice.
std::optional<CSlotLabelsError> ParseSlotLabels(const std::string& strText, CSlotLabels& labels);

// Reads the --slots file strPath into labels: what is wrong with it in words, naming the file and
// the line, or nothing. Only a regular file up to 1 MiB is read.
std::optional<std::string> ReadSlotLabelsFile(const std::string& strPath, CSlotLabels& labels);
