// The dialog templates and the icon as compiled into the module: template
// kind, window styles, font, and every control's id, class, text, position
// and style in template order. Test thread only.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/resource.h"
#include "engine/transfer_state.h"

namespace {
struct Control {
    int id;
    std::string className;
    std::string text;
    int x, y, cx, cy;
    DWORD style;
};

struct Template {
    bool extended = false;
    DWORD style = 0, exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string title, font;
    int pointSize = 0, weight = 0, italic = 0, charset = 0;
    std::vector<Control> controls;
};

// Reads templates as the dialog manager does, with a cursor over 16-bit words.
struct Reader {
    const BYTE* p;
    WORD Word() {
        WORD w;
        memcpy(&w, p, 2);
        p += 2;
        return w;
    }
    DWORD Dword() {
        DWORD d;
        memcpy(&d, p, 4);
        p += 4;
        return d;
    }
    short Short() { return static_cast<short>(Word()); }
    std::string String() {
        std::wstring wide;
        for (WORD c = Word(); c != 0; c = Word()) wide += static_cast<wchar_t>(c);
        if (wide.empty()) return "";
        char text[1024] = {};
        WideCharToMultiByte(932, 0, wide.c_str(), -1, text, sizeof text, nullptr, nullptr);
        return text;
    }
    // An ordinal (0xFFFF, value) or a string.
    std::string NameOrOrdinal() {
        WORD first;
        memcpy(&first, p, 2);
        if (first != 0xFFFF) return String();
        Word();
        switch (Word()) {
        case 0x80: return "BUTTON";
        case 0x81: return "EDIT";
        case 0x82: return "STATIC";
        case 0x83: return "LISTBOX";
        case 0x85: return "COMBOBOX";
        default: return "#ordinal";
        }
    }
    void AlignDword(const BYTE* base) {
        while ((p - base) % 4 != 0) ++p;
    }
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

Template LoadTemplate(const char* name) {
    Template t;
    HMODULE module = static_cast<HMODULE>(transferState.instance);
    HRSRC found = FindResourceA(module, name, reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (found == nullptr) return t;
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader r{base};
    int count = 0;
    if (reinterpret_cast<const WORD*>(base)[1] == 0xFFFF) {
        t.extended = true;
        r.Word();  // version
        r.Word();  // signature
        r.Dword();  // help id
        t.exStyle = r.Dword();
        t.style = r.Dword();
    } else {
        t.style = r.Dword();
        t.exStyle = r.Dword();
    }
    count = r.Word();
    t.x = r.Short();
    t.y = r.Short();
    t.cx = r.Short();
    t.cy = r.Short();
    EXPECT_EQ(r.NameOrOrdinal(), "") << name << ": menu";
    EXPECT_EQ(r.NameOrOrdinal(), "") << name << ": class";
    t.title = r.String();
    if (t.style & DS_SETFONT) {
        t.pointSize = r.Word();
        if (t.extended) {
            t.weight = r.Word();
            t.italic = *r.p++;
            t.charset = *r.p++;
        }
        t.font = r.String();
    }
    for (int i = 0; i < count; ++i) {
        r.AlignDword(base);
        Control c{};
        if (t.extended) {
            r.Dword();  // help id
            EXPECT_EQ(r.Dword(), 0u) << name << ": extended style of control " << i;
            c.style = r.Dword();
        } else {
            c.style = r.Dword();
            EXPECT_EQ(r.Dword(), 0u) << name << ": extended style of control " << i;
        }
        c.x = r.Short();
        c.y = r.Short();
        c.cx = r.Short();
        c.cy = r.Short();
        c.id = t.extended ? static_cast<int>(r.Dword()) : static_cast<short>(r.Word());
        c.className = Upper(r.NameOrOrdinal());
        c.text = r.NameOrOrdinal();
        WORD extra = r.Word();
        r.p += extra;
        t.controls.push_back(c);
    }
    return t;
}

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kLabel = kChild | WS_GROUP | SS_CENTERIMAGE;
constexpr DWORD kRadio = kChild | BS_AUTORADIOBUTTON;
constexpr DWORD kShown = kChild | WS_DISABLED | ES_AUTOHSCROLL;
constexpr DWORD kTyped = kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

void ExpectControls(const Template& t, const std::vector<Control>& expected) {
    ASSERT_EQ(t.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Control& a = t.controls[i];
        const Control& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " (" + e.text + ", id " + std::to_string(e.id) + ")");
        EXPECT_EQ(a.id, e.id);
        EXPECT_EQ(a.className, e.className);
        EXPECT_EQ(a.text, e.text);
        EXPECT_EQ(a.x, e.x);
        EXPECT_EQ(a.y, e.y);
        EXPECT_EQ(a.cx, e.cx);
        EXPECT_EQ(a.cy, e.cy);
        EXPECT_EQ(a.style, e.style) << std::hex << a.style << " vs " << e.style;
    }
}
}  // namespace

TEST(Resources, MainDialogTemplate) {
    Template t = LoadTemplate("MAINDLG");
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME |
                                          DS_3DLOOK | DS_SETFONT));
    EXPECT_EQ(t.exStyle, static_cast<DWORD>(WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 203);
    EXPECT_EQ(t.cy, 264);
    EXPECT_EQ(t.title, "Blockmend (Version 1.0.0)");
    EXPECT_EQ(t.font, "ＭＳ Ｐゴシック");
    EXPECT_EQ(t.pointSize, 9);
    EXPECT_EQ(t.weight, 0);
    EXPECT_EQ(t.italic, 0);
    EXPECT_EQ(t.charset, DEFAULT_CHARSET);
    ExpectControls(t, {
        {-1, "STATIC", "Your File:", 7, 7, 29, 8, kLabel | SS_LEFT},
        {IDC_ORIGINAL, "BUTTON", "Original(correct)", 38, 7, 60, 9, kRadio},
        {IDC_COPY, "BUTTON", "Copy(broken)", 100, 7, 56, 9, kRadio},
        {IDC_NOTHING, "BUTTON", "Nothing", 156, 7, 40, 9, kRadio},
        {-1, "STATIC", "File:", 7, 27, 14, 11, kLabel | SS_LEFT},
        {IDC_FILE, "EDIT", "", 27, 26, 148, 12, kShown | WS_BORDER},
        {IDC_BROWSE, "BUTTON", "参照", 175, 26, 21, 11, kChild | BS_PUSHBUTTON | WS_TABSTOP},
        {-1, "STATIC", "Size:", 7, 47, 14, 11, kLabel | SS_LEFT},
        {IDC_SIZE, "EDIT", "", 25, 48, 51, 12, kShown},
        {-1, "STATIC", "Devide Size:", 82, 47, 40, 11, kLabel | SS_CENTER},
        {IDC_DIVIDE_SIZE, "COMBOBOX", "", 132, 46, 64, 12, kChild | CBS_DROPDOWNLIST | WS_DISABLED},
        {IDC_DIVIDES, "EDIT", "", 7, 68, 22, 12, kShown | ES_RIGHT},
        {-1, "STATIC", "Devides", 34, 67, 29, 11, kLabel | SS_LEFT},
        {-1, "STATIC", "→", 66, 67, 9, 11, kLabel | SS_LEFT},
        {-1, "STATIC", "CRC Data size:", 85, 67, 45, 11, kLabel | SS_LEFT},
        {IDC_CRC_DATA_SIZE, "EDIT", "", 148, 69, 48, 12, kShown | ES_RIGHT},
        {-1, "STATIC", "You act as", 7, 86, 38, 8, kLabel | SS_LEFT},
        {IDC_CLIENT, "BUTTON", "Client", 57, 87, 33, 9, kRadio},
        {IDC_SERVER, "BUTTON", "Server", 99, 87, 33, 9, kRadio},
        {-1, "STATIC", "Port:", 150, 86, 18, 11, kLabel | SS_RIGHT},
        {IDC_PORT, "EDIT", "", 175, 85, 22, 12, kTyped},
        {-1, "STATIC", "Your IP:", 7, 107, 26, 11, kLabel | SS_RIGHT},
        {IDC_YOUR_IP, "EDIT", "", 45, 106, 48, 12, kTyped},
        {-1, "STATIC", "Remote IP:", 105, 107, 34, 11, kLabel | SS_RIGHT},
        {IDC_REMOTE_IP, "EDIT", "", 148, 106, 48, 12, kTyped},
        {IDC_START, "BUTTON", "Start", 30, 125, 50, 14, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
        {IDC_STOP, "BUTTON", "Stop", 109, 125, 50, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_STATUS_LIST, "SYSLISTVIEW32", "", 7, 144, 189, 113,
         kChild | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_NOCOLUMNHEADER | LVS_NOSORTHEADER | LVS_SHOWSELALWAYS},
    });
}

TEST(Resources, OverwriteDialogTemplate) {
    Template t = LoadTemplate("OVERWRITE_DLG");
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.cx, 187);
    EXPECT_EQ(t.cy, 105);
    EXPECT_EQ(t.title, "上書き確認");
    EXPECT_EQ(t.font, "ＭＳ Ｐゴシック");
    EXPECT_EQ(t.pointSize, 9);
    ExpectControls(t, {
        {IDOK, "BUTTON", "OK", 37, 84, 50, 14, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
        {IDCANCEL, "BUTTON", "ｷｬﾝｾﾙ", 104, 84, 50, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_MESSAGE, "STATIC", "(IDC_MESSAGE)", 12, 11, 168, 8, kChild | SS_LEFT | WS_GROUP},
        {IDC_OVERWRITE, "BUTTON", "上書きする（現在のファイルは一旦削除されます。）", 7, 29, 159, 9, kRadio},
        {IDC_SAVE_AS, "BUTTON", "別の名前で保存する", 7, 45, 73, 9, kRadio},
        {IDC_NEW_NAME, "EDIT", "", 17, 60, 163, 12, kTyped},
    });
}

TEST(Resources, IconGroupHoldsBothImages) {
    HMODULE module = static_cast<HMODULE>(transferState.instance);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDI_ICON1), reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
    ASSERT_NE(found, nullptr);
    const BYTE* group = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    WORD count;
    memcpy(&count, group + 4, 2);
    ASSERT_EQ(count, 2);
    // Entries of 14 bytes: width, height, colours, reserved, planes, bits, size, id.
    const BYTE* first = group + 6;
    const BYTE* second = first + 14;
    WORD bits;
    EXPECT_EQ(first[0], 32);
    EXPECT_EQ(first[1], 32);
    memcpy(&bits, first + 6, 2);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(second[0], 16);
    EXPECT_EQ(second[1], 16);
    EXPECT_EQ(second[2], 16);
    memcpy(&bits, second + 6, 2);
    EXPECT_EQ(bits, 4);
    EXPECT_NE(LoadImageA(module, MAKEINTRESOURCEA(IDI_ICON1), IMAGE_ICON, 16, 16, 0), nullptr);
    EXPECT_NE(LoadImageA(module, MAKEINTRESOURCEA(IDI_ICON1), IMAGE_ICON, 32, 32, 0), nullptr);
}
