#include "ui/layout/main_window_layout.h"
#include "ui/win32/win32_internal.h"

#include <cstring>

namespace flashwell::ui::win32 {

bool IsClass(HWND hwnd, const char* name) {
    char buffer[64] = {};
    GetClassNameA(hwnd, buffer, sizeof buffer);
    return std::strcmp(buffer, name) == 0;
}

// Panels are plain containers: what their controls tell them belongs to the window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        return SendMessageA(GetParent(hwnd), msg, wp, lp);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        PAINTSTRUCT ps{};
        HDC dc = msg == WM_PAINT ? BeginPaint(hwnd, &ps) : reinterpret_cast<HDC>(wp);
        RECT rc;
        GetClientRect(hwnd, &rc);
        // One raised pixel, the usual panel bevel.
        DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
        if (msg == WM_PAINT) EndPaint(hwnd, &ps);
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

void PaintGauge(HWND hwnd, HDC dc) {
    const auto* gauge =
        reinterpret_cast<const app::Gauge*>(GetWindowLongPtrA(hwnd, kGaugeModelSlot));
    const auto font = reinterpret_cast<HFONT>(GetWindowLongPtrA(hwnd, kGaugeFontSlot));
    const int percent = gauge != nullptr ? gauge->Percent() : 0;
    RECT rc;
    GetClientRect(hwnd, &rc);
    const LONG fill = rc.left + (rc.right - rc.left) * percent / 100;
    const RECT filled{rc.left, rc.top, fill, rc.bottom};
    const RECT rest{fill, rc.top, rc.right, rc.bottom};
    FillRect(dc, &filled, GetSysColorBrush(COLOR_HIGHLIGHT));
    FillRect(dc, &rest, GetSysColorBrush(COLOR_BTNFACE));

    char text[8];
    const int length = wsprintfA(text, "%d%%", percent);
    const int saved = SaveDC(dc);
    if (font != nullptr) SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    // The text stays readable where the bar runs under it: light on the bar, dark beside it.
    for (int pass = 0; pass < 2; ++pass) {
        const RECT& part = pass == 0 ? filled : rest;
        if (part.right <= part.left) continue;
        const int clip = SaveDC(dc);
        IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
        SetTextColor(dc, GetSysColor(pass == 0 ? COLOR_HIGHLIGHTTEXT : COLOR_BTNTEXT));
        RECT box = rc;
        DrawTextA(dc, text, length, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        RestoreDC(dc, clip);
    }
    RestoreDC(dc, saved);
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_NCCREATE: {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, kGaugeModelSlot, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    case WM_SETFONT:
        SetWindowLongPtrA(hwnd, kGaugeFontSlot, static_cast<LONG_PTR>(wp));
        if (LOWORD(lp) != 0) InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_GETFONT:
        return GetWindowLongPtrA(hwnd, kGaugeFontSlot);
    case WM_ERASEBKGND:
        return 1; // the paint covers every pixel
    case WM_PAINT: {
        PAINTSTRUCT ps{};
        HDC dc = BeginPaint(hwnd, &ps);
        PaintGauge(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintGauge(hwnd, reinterpret_cast<HDC>(wp));
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

// A single "Cancel" button is no style of MessageBoxA: the box is asked for with "OK" alone and
void RegisterOnce(const WNDCLASSEXA& wc) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExA(wc.hInstance, wc.lpszClassName, &existing)) return;
    RegisterClassExA(&wc);
}

HFONT MakeLayoutFont() {
    HFONT font = CreateFontA(-layout::kLayoutFont.pixelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, layout::kLayoutFont.face);
    return font != nullptr ? font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

WNDCLASSEXA FaceWindowClass(HINSTANCE instance, WNDPROC proc, const char* name) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpfnWndProc = proc;
    wc.lpszClassName = name;
    wc.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512)); // IDI_APPLICATION
    return wc;
}

SIZE TextSize(HWND hwnd, HFONT font, const std::string& text) {
    SIZE size{0, 0};
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return size;
}

RECT CentredFrame(int clientWidth, int clientHeight, DWORD style, DWORD exStyle) {
    RECT frame{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + std::max(0L, (work.right - work.left - width) / 2);
    const int y = work.top + std::max(0L, (work.bottom - work.top - height) / 2);
    return RECT{x, y, x + width, y + height};
}

} // namespace flashwell::ui::win32

namespace flashwell::ui {

using win32::RegisterOnce;

bool Win32DisplayAvailable() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.lpszClassName = "FlashwellDisplayProbe";
    RegisterOnce(wc);
    HWND probe = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, instance, nullptr);
    if (probe == nullptr) return false;
    DestroyWindow(probe);
    return true;
}

void HideOwnConsole() {
    HWND console = GetConsoleWindow();
    if (console == nullptr) return;
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) ShowWindow(console, SW_HIDE);
}

} // namespace flashwell::ui
