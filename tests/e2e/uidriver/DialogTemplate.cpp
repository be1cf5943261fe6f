// Reading a dialog template from the program's module, and the size its client area has when the
// dialog is laid out in the template's font as this process's GDI supplies it.
#include "UiDriver.h"

namespace {

// Reads the little-endian words of a resource with bounds checks: a template that ends early
// reads as broken, never past its end.
class CWordReader {
public:
    CWordReader(const BYTE* pData, DWORD nSize) : m_pData(pData), m_nSize(nSize) {}
    bool Ok() const { return m_bOk; }
    WORD Word()
    {
        if (m_nPos + 2 > m_nSize) {
            m_bOk = false;
            return 0;
        }
        const WORD nValue = static_cast<WORD>(m_pData[m_nPos] | (m_pData[m_nPos + 1] << 8));
        m_nPos += 2;
        return nValue;
    }
    DWORD Dword()
    {
        const DWORD nLow = Word();
        return nLow | (static_cast<DWORD>(Word()) << 16);
    }
    BYTE Byte()
    {
        if (m_nPos + 1 > m_nSize) {
            m_bOk = false;
            return 0;
        }
        return m_pData[m_nPos++];
    }
    std::wstring String()   // a NUL-terminated UTF-16 string
    {
        std::wstring str;
        for (WORD ch = Word(); m_bOk && ch != 0; ch = Word())
            str.push_back(static_cast<wchar_t>(ch));
        return str;
    }
    void SkipStringOrOrdinal()   // empty (0), an ordinal (0xFFFF then a word), or a string
    {
        const WORD nFirst = Word();
        if (nFirst == 0xFFFF)
            Word();
        else if (nFirst != 0)
            String();
    }

private:
    const BYTE* m_pData;
    DWORD m_nSize;
    DWORD m_nPos = 0;
    bool m_bOk = true;
};

std::string Utf8(const std::wstring& str)
{
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, str.c_str(), static_cast<int>(str.size()), nullptr, 0, nullptr, nullptr);
    std::string strOut(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, str.c_str(), static_cast<int>(str.size()), strOut.data(), nBytes, nullptr, nullptr);
    return strOut;
}

// The font a dialog with this template is given: its point size at the screen's dots per inch.
HFONT CreateTemplateFont(HDC hdc, const CDialogTemplate& dialog)
{
    std::wstring strFace(dialog.strFace.size(), L'\0');
    strFace.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, dialog.strFace.c_str(),
                                                           static_cast<int>(dialog.strFace.size()), strFace.data(),
                                                           static_cast<int>(strFace.size()))));
    LOGFONTW font{};
    font.lfHeight = -MulDiv(dialog.nPoints, GetDeviceCaps(hdc, LOGPIXELSY), 72);
    font.lfWeight = dialog.nWeight;
    font.lfItalic = dialog.bItalic ? TRUE : FALSE;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, strFace.c_str(), LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

} // namespace

CDialogTemplate ReadDialogTemplate(HMODULE hModule, int nId)
{
    CDialogTemplate dialog;
    HRSRC hInfo = FindResourceA(hModule, MAKEINTRESOURCEA(nId), MAKEINTRESOURCEA(5));   // RT_DIALOG
    HGLOBAL hData = hInfo ? LoadResource(hModule, hInfo) : nullptr;
    const BYTE* pData = hData ? static_cast<const BYTE*>(LockResource(hData)) : nullptr;
    if (!pData)
        return dialog;
    CWordReader reader(pData, SizeofResource(hModule, hInfo));
    reader.Word();   // dlgVer
    if (reader.Word() != 0xFFFF)   // signature: only the extended template (DIALOGEX) is read
        return dialog;
    reader.Dword();   // helpID
    reader.Dword();   // exStyle
    const DWORD nStyle = reader.Dword();
    reader.Word();   // cDlgItems
    reader.Word();   // x
    reader.Word();   // y
    dialog.nCx = static_cast<short>(reader.Word());
    dialog.nCy = static_cast<short>(reader.Word());
    reader.SkipStringOrOrdinal();   // menu
    reader.SkipStringOrOrdinal();   // window class
    reader.String();                // caption
    if (!(nStyle & DS_SETFONT))
        return dialog;   // the system font: nothing to compare with
    dialog.nPoints = reader.Word();
    dialog.nWeight = reader.Word();
    dialog.bItalic = reader.Byte() != 0;
    reader.Byte();   // charset
    dialog.strFace = Utf8(reader.String());
    dialog.bOk = reader.Ok() && !dialog.strFace.empty();
    return dialog;
}

SIZE TemplateClientSize(const CDialogTemplate& dialog)
{
    // The dialog manager's base units: the font's height, and the mean width of the 52 letters
    // rounded to the nearest pixel; a dialog unit is a quarter of the one and an eighth of the other.
    HDC hdc = GetDC(nullptr);
    HFONT hFont = CreateTemplateFont(hdc, dialog);
    HGDIOBJ hOld = SelectObject(hdc, hFont);
    TEXTMETRICW metrics{};
    GetTextMetricsW(hdc, &metrics);
    static const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE letters{};
    GetTextExtentPoint32W(hdc, kLetters, 52, &letters);
    SelectObject(hdc, hOld);
    DeleteObject(hFont);
    ReleaseDC(nullptr, hdc);
    const int nBaseX = (letters.cx / 26 + 1) / 2;
    const int nBaseY = metrics.tmHeight;
    return SIZE{MulDiv(dialog.nCx, nBaseX, 4), MulDiv(dialog.nCy, nBaseY, 8)};
}

std::string ResolvedFontName(const std::string& strFace, int nWeight)
{
    HDC hdc = GetDC(nullptr);
    HFONT hFont = CreateFontA(-11, 0, 0, 0, nWeight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, strFace.c_str());
    HGDIOBJ hOld = SelectObject(hdc, hFont);
    // The family and style of the font file GDI took: a real bold face says "Bold", where the
    // regular one emboldened by GDI still says "Regular".
    std::string strName;
    const UINT nSize = GetOutlineTextMetricsA(hdc, 0, nullptr);
    if (nSize >= sizeof(OUTLINETEXTMETRICA)) {
        std::vector<char> buffer(nSize);
        auto* pMetrics = reinterpret_cast<OUTLINETEXTMETRICA*>(buffer.data());
        if (GetOutlineTextMetricsA(hdc, nSize, pMetrics)) {
            // The names are stored as offsets from the start of the structure.
            const auto name = [&](const char* pOffset) {
                std::string str;
                for (size_t i = reinterpret_cast<size_t>(pOffset); i < nSize && buffer[i] != '\0'; ++i)
                    str.push_back(buffer[i]);
                return str;
            };
            const std::string strStyle = name(pMetrics->otmpStyleName);
            strName = name(pMetrics->otmpFamilyName);
            if (strStyle != "Regular" && strStyle != "Normal" && strStyle != "Book")
                strName += " " + strStyle;
        }
    }
    if (strName.empty()) {
        char szFace[LF_FACESIZE] = {};
        GetTextFaceA(hdc, sizeof szFace, szFace);
        strName = szFace;
    }
    SelectObject(hdc, hOld);
    DeleteObject(hFont);
    ReleaseDC(nullptr, hdc);
    return strName;
}
