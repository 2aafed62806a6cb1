// A user at a Windows desktop, for the end-to-end tests: answers the
// launcher's notices as they come.
//
//     notice_user COUNT DELAY_MS
//
// For each of COUNT notices (dialog class "#32770", title "警告") it writes,
// in UTF-8, one line "shown<TAB>title<TAB>text<TAB>N", N being how many
// characters of the text its font has no glyph for (boxes on the screen);
// waits DELAY_MS; writes "answering" and presses OK. Exits 1 when a notice
// does not come within a minute.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int TextControl = 0xFFFF;  // the static text of a message box
constexpr int Length = 512;

void Write(const wchar_t* text) {
    char utf8[4 * Length];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) > 0) {
        std::fputs(utf8, stdout);
    }
}

int MissingGlyphs(HWND control, const wchar_t* text, int length) {
    HDC dc = GetDC(control);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    WORD glyphs[Length];
    int missing = length;
    if (GetGlyphIndicesW(dc, text, length, glyphs, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR) {
        missing = 0;
        for (int i = 0; i < length; ++i) missing += glyphs[i] == 0xFFFF;
    }
    ReleaseDC(control, dc);
    return missing;
}

HWND WaitForNotice() {
    for (int waited = 0; waited < 60000; waited += 50) {
        HWND notice = FindWindowW(L"#32770", L"\u8b66\u544a");  // 警告
        if (notice != nullptr && IsWindowVisible(notice)) return notice;
        Sleep(50);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    const unsigned delay = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    for (int i = 0; i < count; ++i) {
        HWND notice = WaitForNotice();
        if (notice == nullptr) return 1;
        wchar_t title[Length];
        wchar_t text[Length];
        GetWindowTextW(notice, title, Length);
        const int length = GetDlgItemTextW(notice, TextControl, text, Length);
        Write(L"shown\t");
        Write(title);
        Write(L"\t");
        Write(text);
        std::printf("\t%d\n", MissingGlyphs(GetDlgItem(notice, TextControl), text, length));
        std::fflush(stdout);
        Sleep(delay);
        std::puts("answering");
        std::fflush(stdout);
        SendMessageW(notice, WM_COMMAND, IDOK, 0);
        // Gone before the next one is looked for.
        while (IsWindow(notice)) Sleep(10);
    }
    return 0;
}
