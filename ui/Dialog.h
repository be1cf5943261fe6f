#pragma once
// The thin dialog layer: what the program asks of a window, nothing more. A dialog runs from a
// template id; messages reach handlers through a table; controls are reached by id. Calls from
// threads other than the window's run synchronously on the window's thread (Win32 requires that
// for controls owned by another thread).
//
// ui/win32 is the real back end; tests/support/headless keeps the same state in memory for tests.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// windows.h maps MessageBoxEx to MessageBoxExA or MessageBoxExW; undone here so that the member
// below has one name in every file, whether or not the file saw windows.h first.
#ifdef MessageBoxEx
#undef MessageBoxEx
#endif

// Win32's own numbers for the messages, notifications and box styles that the program uses.
namespace ui {
constexpr unsigned kWmDestroy = 0x0002;
constexpr unsigned kWmClose = 0x0010;
constexpr unsigned kWmPaint = 0x000F;
constexpr unsigned kWmQueryDragIcon = 0x0037;
constexpr unsigned kWmCommand = 0x0111;
constexpr unsigned kBnClicked = 0;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr unsigned kMbOk = 0x00;
constexpr unsigned kMbIconHand = 0x10;
constexpr unsigned kMbIconExclamation = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
} // namespace ui

class CDialog;
struct CDialogImpl;

using MsgHandler = intptr_t (*)(CDialog& dialog, uintptr_t wParam, intptr_t lParam);

// One row of a dialog's message map. For WM_COMMAND rows nCode and nId select the notification
// (BN_CLICKED from button nId); for other messages both are 0. The table ends with a row whose
// pfnHandler is null.
struct MsgMapEntry {
    unsigned nMessage;
    unsigned nCode;
    int nId;
    MsgHandler pfnHandler;
};

// A font as CreateFontA takes it (the fields the program sets).
struct FontSpec {
    int nHeight = 0;
    int nWidth = 0;
    int nWeight = 400;
    bool bItalic = false;
    bool bUnderline = false;
    bool bStrikeOut = false;
    unsigned nCharSet = 0;          // ANSI_CHARSET
    unsigned nPitchAndFamily = 0;   // 32 = FF_SWISS
    std::string strFace;
};

class CDialog {
public:
    CDialog(int nTemplateId, CDialog* pParent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the window from the template and runs it until EndDialog; returns EndDialog's result,
    // or -1 when the window could not be created.
    intptr_t DoModal();
    void EndDialog(int nResult);

    // Overridables, called on the window's thread.
    virtual bool OnInitDialog();       // base: writes the fields to the controls
    virtual void DoDataExchange(bool bSaveAndValidate);
    virtual void OnOK();               // fields from controls, then EndDialog(IDOK)
    virtual void OnCancel();           // EndDialog(IDCANCEL)
    virtual const MsgMapEntry* GetMessageMap() const;

    // Routes one message through the message map, then the defaults (IDOK, IDCANCEL and WM_CLOSE
    // end the dialog). True when something handled it, with the handler's result in *pResult.
    // What the platform's window procedure calls, and how headless tests deliver messages.
    bool Dispatch(unsigned nMessage, uintptr_t wParam, intptr_t lParam, intptr_t* pResult = nullptr);

    bool UpdateData(bool bSaveAndValidate);

    // Control access by id. Safe from any thread.
    void EnableControl(int nId, bool bEnable);
    bool IsControlEnabled(int nId);
    void SetControlText(int nId, const std::string& strText);
    std::string GetControlText(int nId);
    void AddListEntry(int nId, const std::string& strEntry);   // CB_ADDSTRING: last in a list without CBS_SORT
    void SelectListEntry(int nId, int nIndex);     // CB_SETCURSEL(nIndex, 0); out of range: no selection
    int GetListSelection(int nId);                 // -1 when nothing is selected
    void SetControlFocus(int nId);
    void SetControlFont(int nId, const FontSpec& font);   // the font lives until the process ends
    // Loads bitmap resource nBitmapId (LR_LOADMAP3DCOLORS) and puts it into picture control nId,
    // deleting the bitmap it replaces. False, and nothing changed, when the load fails.
    bool ShowBitmap(int nId, int nBitmapId);
    void SetBigIcon(int nIconId);
    // WM_PAINT while minimised: erase the icon background and draw the icon centred.
    void PaintMinimizedIcon(int nIconId);
    bool IsMinimized();
    intptr_t GetIconHandle(int nIconId);

    // Runs fn on the window's thread and waits for it (directly when already there).
    void CallOnWindowThread(const std::function<void()>& fn);
    // Sends WM_CLOSE to the dialog (synchronously).
    void SendClose();

    // MessageBoxExA on the calling thread; owned by this dialog when bOwned, else with no owner.
    int MessageBoxEx(bool bOwned, const std::string& strText, const std::string& strCaption,
                     unsigned nType, unsigned short nLanguage);
    // The framework-style box: owned by this dialog, the executable's name as caption, OK button,
    // the exclamation icon when nType names no icon.
    int AppMessageBox(const std::string& strText, unsigned nType = ui::kMbOk);

    // Waits until done() holds while keeping the window's messages flowing, so that threads which
    // call into the window meanwhile are served. Call on the window's thread. A WM_QUIT that comes
    // meanwhile is kept and posted again after the wait.
    void WaitPumping(const std::function<bool()>& done);

    int TemplateId() const { return m_nTemplateId; }
    CDialogImpl* Impl() const { return m_pImpl.get(); }

protected:
    // Data exchange helpers for DoDataExchange.
    void DdxText(bool bSave, int nId, std::string& strField, size_t nMaxChars = 0);
    void DdxListIndex(bool bSave, int nId, int& nField);

private:
    int m_nTemplateId;
    CDialog* m_pParent;
    std::unique_ptr<CDialogImpl> m_pImpl;
};
