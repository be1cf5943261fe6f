#pragma once
#include <atomic>

#include "res/resource.h"
#include "ui/Dialog.h"

// The About box: template 100, no fields and no handlers of its own; OK ends it.
class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(CDialog* pParent = nullptr) : CDialog(IDD_ABOUTBOX, pParent) { s_pOpen.store(this); }
    ~CAboutDlg() override { s_pOpen.store(nullptr); }

    // The About box that exists right now, if any (there is at most one: it is modal).
    static CAboutDlg* Current() { return s_pOpen.load(); }

private:
    static inline std::atomic<CAboutDlg*> s_pOpen{nullptr};
};
