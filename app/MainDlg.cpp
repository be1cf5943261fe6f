// STUB: to be replaced by the main window's implementation.
#include "app/MainDlg.h"

CMainDlg::CMainDlg(CDialog* pParent, CToolEnv env) : CDialog(IDD_MAIN, pParent), m_env(std::move(env)) {}
CMainDlg::~CMainDlg() = default;
bool CMainDlg::OnInitDialog() { return CDialog::OnInitDialog(); }
void CMainDlg::DoDataExchange(bool) {}
const MsgMapEntry* CMainDlg::GetMessageMap() const { return nullptr; }
void CMainDlg::SetEnglishTexts() {}
void CMainDlg::ShowStatusPicture(int) {}
void CMainDlg::OnPaint() {}
intptr_t CMainDlg::OnQueryDragIcon() { return 0; }
void CMainDlg::OnExit() {}
void CMainDlg::OnAbout() {}
void CMainDlg::OnDestroy() {}
