// Screen capture, bitmap pixels, and recognising a status picture or a text's font by comparing
// the screen with candidates drawn the way the controls draw them.
#include <cstdio>

#include "UiDriver.h"

namespace {

// A 32-bit top-down DIB section to draw into or copy to.
struct CCanvas {
    HDC hdc = nullptr;
    HBITMAP hBitmap = nullptr;
    HGDIOBJ hOld = nullptr;
    uint32_t* pBits = nullptr;
    int nWidth = 0;
    int nHeight = 0;

    CCanvas(int nW, int nH) : nWidth(nW), nHeight(nH)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = nW;
        info.bmiHeader.biHeight = -nH;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        hdc = CreateCompatibleDC(nullptr);
        void* pv = nullptr;
        hBitmap = CreateDIBSection(hdc, &info, DIB_RGB_COLORS, &pv, nullptr, 0);
        pBits = static_cast<uint32_t*>(pv);
        if (hBitmap)
            hOld = SelectObject(hdc, hBitmap);
    }
    ~CCanvas()
    {
        if (hOld)
            SelectObject(hdc, hOld);
        if (hBitmap)
            DeleteObject(hBitmap);
        DeleteDC(hdc);
    }
    CCanvas(const CCanvas&) = delete;
    CCanvas& operator=(const CCanvas&) = delete;

    bool Ok() const { return pBits != nullptr; }
    CImage Image() const
    {
        GdiFlush();
        CImage image;
        image.nWidth = nWidth;
        image.nHeight = nHeight;
        image.pixels.assign(pBits, pBits + static_cast<size_t>(nWidth) * nHeight);
        for (uint32_t& pixel : image.pixels)
            pixel &= 0x00FFFFFF;
        return image;
    }
};

RECT ClientRectOnScreen(HWND hwnd)
{
    RECT rect{};
    GetClientRect(hwnd, &rect);
    MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// Pixels of the candidate placed at (x0, y0) in the capture that agree, as a share of the overlap.
double Agreement(const CImage& capture, const CImage& candidate, int x0, int y0)
{
    long nSame = 0;
    long nCompared = 0;
    for (int y = 0; y < candidate.nHeight; ++y) {
        const int cy = y0 + y;
        if (cy < 0 || cy >= capture.nHeight)
            continue;
        for (int x = 0; x < candidate.nWidth; ++x) {
            const int cx = x0 + x;
            if (cx < 0 || cx >= capture.nWidth)
                continue;
            ++nCompared;
            nSame += capture.At(cx, cy) == candidate.At(x, y);
        }
    }
    return nCompared ? static_cast<double>(nSame) / nCompared : 0.0;
}

long Difference(const CImage& a, const CImage& b)
{
    if (a.nWidth != b.nWidth || a.nHeight != b.nHeight)
        return -1;
    long nDiffer = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        nDiffer += a.pixels[i] != b.pixels[i];
    return nDiffer;
}

} // namespace

CImage CaptureScreen(const RECT& rect)
{
    const int nWidth = rect.right - rect.left;
    const int nHeight = rect.bottom - rect.top;
    if (nWidth <= 0 || nHeight <= 0)
        return CImage();
    CCanvas canvas(nWidth, nHeight);
    if (!canvas.Ok())
        return CImage();
    HDC hScreen = GetDC(nullptr);
    const BOOL bCopied = BitBlt(canvas.hdc, 0, 0, nWidth, nHeight, hScreen, rect.left, rect.top, SRCCOPY);
    ReleaseDC(nullptr, hScreen);
    return bCopied ? canvas.Image() : CImage();
}

CImage ImageOfBitmap(HBITMAP hBitmap)
{
    BITMAP info{};
    if (!GetObjectA(hBitmap, sizeof info, &info))
        return CImage();
    CCanvas canvas(info.bmWidth, info.bmHeight);
    if (!canvas.Ok())
        return CImage();
    HDC hSource = CreateCompatibleDC(nullptr);
    HGDIOBJ hOld = SelectObject(hSource, hBitmap);
    BitBlt(canvas.hdc, 0, 0, info.bmWidth, info.bmHeight, hSource, 0, 0, SRCCOPY);
    SelectObject(hSource, hOld);
    DeleteDC(hSource);
    return canvas.Image();
}

bool WriteBmp(const CImage& image, const std::string& strPath)
{
    if (image.Empty())
        return false;
    const int nRowBytes = (image.nWidth * 3 + 3) & ~3;
    const DWORD nPixelBytes = static_cast<DWORD>(nRowBytes) * image.nHeight;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;   // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + nPixelBytes;
    info.biSize = sizeof info;
    info.biWidth = image.nWidth;
    info.biHeight = image.nHeight;   // bottom-up
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = nPixelBytes;
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile)
        return false;
    std::fwrite(&file, sizeof file, 1, pFile);
    std::fwrite(&info, sizeof info, 1, pFile);
    std::vector<unsigned char> row(static_cast<size_t>(nRowBytes), 0);
    for (int y = image.nHeight - 1; y >= 0; --y) {
        for (int x = 0; x < image.nWidth; ++x) {
            const uint32_t pixel = image.At(x, y);
            row[x * 3 + 0] = static_cast<unsigned char>(pixel & 0xFF);
            row[x * 3 + 1] = static_cast<unsigned char>((pixel >> 8) & 0xFF);
            row[x * 3 + 2] = static_cast<unsigned char>((pixel >> 16) & 0xFF);
        }
        std::fwrite(row.data(), 1, row.size(), pFile);
    }
    return std::fclose(pFile) == 0;
}

int MatchPicture(HWND hPicture, const std::map<int, CImage>& candidates)
{
    const CImage capture = CaptureScreen(ClientRectOnScreen(hPicture));
    if (capture.Empty())
        return 0;
    // A centred image's origin may round either way; a drawn picture agrees almost everywhere.
    constexpr double kRequiredAgreement = 0.97;
    int nBest = 0;
    double best = kRequiredAgreement;
    for (const auto& [nId, candidate] : candidates) {
        const int x0 = (capture.nWidth - candidate.nWidth) / 2;
        const int y0 = (capture.nHeight - candidate.nHeight) / 2;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const double agreement = Agreement(capture, candidate, x0 + dx, y0 + dy);
                if (agreement >= best) {
                    best = agreement;
                    nBest = nId;
                }
            }
    }
    return nBest;
}

CFontGuess MatchStaticFont(HWND hStatic)
{
    const RECT rect = ClientRectOnScreen(hStatic);
    const CImage capture = CaptureScreen(rect);
    if (capture.Empty())
        return CFontGuess();
    const std::string strText = WindowText(hStatic);
    // The dialog's own font (8 points at 96 dots per inch) and the ones the program may set.
    const CFontGuess candidates[] = {
        {"Arial", 700, 15}, {"Arial", 400, 15}, {"Tahoma", 400, -11}, {"Tahoma", 700, -11}, {"Tahoma", 700, 15},
    };
    CFontGuess best;
    long nBestDiffer = static_cast<long>(capture.pixels.size()) / 50 + 1;   // up to 2 % astray
    for (const CFontGuess& guess : candidates) {
        CCanvas canvas(capture.nWidth, capture.nHeight);
        if (!canvas.Ok())
            continue;
        HFONT hFont = CreateFontA(guess.nHeight, 0, 0, 0, guess.nWeight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS,
                                  guess.strFace.c_str());
        HGDIOBJ hOld = SelectObject(canvas.hdc, hFont);
        // A left-aligned static: its dialog's 3-D face colour behind window-text coloured text.
        RECT box{0, 0, capture.nWidth, capture.nHeight};
        FillRect(canvas.hdc, &box, GetSysColorBrush(COLOR_3DFACE));
        SetTextColor(canvas.hdc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(canvas.hdc, GetSysColor(COLOR_3DFACE));
        DrawTextA(canvas.hdc, strText.c_str(), -1, &box, DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK);
        SelectObject(canvas.hdc, hOld);
        DeleteObject(hFont);
        const long nDiffer = Difference(canvas.Image(), capture);
        if (nDiffer >= 0 && nDiffer < nBestDiffer) {
            nBestDiffer = nDiffer;
            best = guess;
        }
    }
    return best;
}
