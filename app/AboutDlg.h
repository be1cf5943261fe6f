#pragma once
#include "res/resource.h"
#include "ui/Dialog.h"

// The About box: template 100, no fields and no handlers of its own; OK ends it.
class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(CDialog* pParent = nullptr) : CDialog(IDD_ABOUTBOX, pParent) {}
};
