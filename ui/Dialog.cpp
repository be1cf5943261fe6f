// The back-end independent part of the dialog layer: message routing and data exchange.
#include "ui/Dialog.h"

namespace {

unsigned LowWord(uintptr_t n) { return static_cast<unsigned>(n & 0xFFFF); }
unsigned HighWord(uintptr_t n) { return static_cast<unsigned>((n >> 16) & 0xFFFF); }

} // namespace

bool CDialog::OnInitDialog()
{
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(bool) {}

void CDialog::OnOK()
{
    if (UpdateData(true))
        EndDialog(ui::kIdOk);
}

void CDialog::OnCancel()
{
    EndDialog(ui::kIdCancel);
}

const MsgMapEntry* CDialog::GetMessageMap() const
{
    return nullptr;
}

bool CDialog::Dispatch(unsigned nMessage, uintptr_t wParam, intptr_t lParam, intptr_t* pResult)
{
    intptr_t nIgnored = 0;
    if (!pResult)
        pResult = &nIgnored;
    for (const MsgMapEntry* pEntry = GetMessageMap(); pEntry && pEntry->pfnHandler; ++pEntry) {
        if (pEntry->nMessage != nMessage)
            continue;
        if (nMessage == ui::kWmCommand
            && (static_cast<int>(LowWord(wParam)) != pEntry->nId || HighWord(wParam) != pEntry->nCode))
            continue;
        *pResult = pEntry->pfnHandler(*this, wParam, lParam);
        return true;
    }
    if (nMessage == ui::kWmCommand && HighWord(wParam) == ui::kBnClicked) {
        if (LowWord(wParam) == ui::kIdOk) {
            OnOK();
            return true;
        }
        if (LowWord(wParam) == ui::kIdCancel) {
            OnCancel();
            return true;
        }
    }
    if (nMessage == ui::kWmClose) {
        OnCancel();
        return true;
    }
    return false;
}

bool CDialog::UpdateData(bool bSaveAndValidate)
{
    DoDataExchange(bSaveAndValidate);
    return true;
}

void CDialog::DdxText(bool bSave, int nId, std::string& strField, size_t nMaxChars)
{
    if (bSave) {
        strField = GetControlText(nId);
        if (nMaxChars && strField.size() > nMaxChars)
            strField.resize(nMaxChars);
    } else {
        SetControlText(nId, strField);
    }
}

void CDialog::DdxListIndex(bool bSave, int nId, int& nField)
{
    if (bSave)
        nField = GetListSelection(nId);
    else
        SelectListEntry(nId, nField);
}
