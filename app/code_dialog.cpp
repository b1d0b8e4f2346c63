// The pairing code dialog (UI thread).
#include "app/code_dialog.h"

#include <cstring>
#include <string>

#include "app/resource.h"
#include "engine/transfer_state.h"
#include "platform/text.h"
#include "wire/pairing.h"

namespace {
void InitCodeDialog(HWND window) {
    SendDlgItemMessageA(window, IDC_CODE, EM_SETLIMITTEXT, kMaxCodeBytes, 0);
    SetDlgItemTextA(window, IDC_CODE, transferState.pairingCode);
}

void MakeCode(HWND window) {
    char code[24];
    if (!MakeNewCode(code)) {
        SetDlgItemTextA(window, IDC_CODE_HINT, "コードを作れませんでした。");
        return;
    }
    SetDlgItemTextA(window, IDC_CODE, code);
    HWND edit = GetDlgItem(window, IDC_CODE);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
}

// Takes the code: none, or one of at least kMinCodeCharacters characters.
void ConfirmCode(HWND window) {
    char code[kMaxCodeBytes + 1] = {};
    GetDlgItemTextA(window, IDC_CODE, code, sizeof code);
    // Checked as the engine pairs with it: as UTF-8, spaces and dashes
    // left out.
    std::string utf8, bytes;
    if (code[0] != '\0' && (!Cp932ToUtf8(code, &utf8) || CodeBytes(utf8, &bytes) != CodeCheck::kOk)) {
        SetDlgItemTextA(window, IDC_CODE_HINT, "コードは6文字以上にしてください。");
        return;
    }
    strcpy(transferState.pairingCode, code);
    EndDialog(window, IDOK);
}
}  // namespace

size_t CountCp932Characters(const char* text) {
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p, ++n)
        if (IsCp932LeadByte(*p) && p[1] != '\0') ++p;
    return n;
}

INT_PTR CALLBACK CodeDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        InitCodeDialog(window);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_NEW_CODE: MakeCode(window); break;
    case IDOK: ConfirmCode(window); break;
    case IDCANCEL: EndDialog(window, IDCANCEL); break;
    default: break;
    }
    return FALSE;
}

bool RunCodeDialog(HWND owner) {
    return DialogBoxParamA(static_cast<HINSTANCE>(transferState.instance), "CODE_DLG", owner, CodeDialogProc, 0) ==
           IDOK;
}
