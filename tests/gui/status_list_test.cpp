// The status list as the worker fills it: lines added from another thread
// are in the list when the call returns and scroll into view, a replaced
// line does not scroll, blank lines count. The test thread plays the worker.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "app/resource.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "tests/gui/gui_harness.h"

namespace {
HWND List(HWND dialog) { return GetDlgItem(dialog, IDC_STATUS_LIST); }

int TopIndex(HWND dialog) { return static_cast<int>(SendMessageA(List(dialog), LVM_GETTOPINDEX, 0, 0)); }

bool LastLineVisible(HWND dialog) {
    HWND list = List(dialog);
    int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    int perPage = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
    return count - 1 < TopIndex(dialog) + perPage + 1;  // a partly visible line is enough
}

void ScrollToTop(HWND dialog) {
    SendMessageA(List(dialog), LVM_ENSUREVISIBLE, 0, FALSE);
}
}  // namespace

using StatusList = WindowTest;

TEST_F(StatusList, AddedLinesScrollIntoView) {
    HWND w = Window();
    for (int i = 0; i < 40; ++i) AddStatusLine(("line " + std::to_string(i)).c_str());
    EXPECT_EQ(transferState.statusLineCount, 40);
    EXPECT_GT(TopIndex(w), 0);
    EXPECT_TRUE(LastLineVisible(w));

    ScrollToTop(w);
    ASSERT_EQ(TopIndex(w), 0);
    AddStatusLine("new");
    EXPECT_GT(TopIndex(w), 0);
    EXPECT_TRUE(LastLineVisible(w));
    EXPECT_EQ(StatusLines(w).back(), "new");
}

TEST_F(StatusList, ReplacedLineDoesNotScroll) {
    HWND w = Window();
    for (int i = 0; i < 40; ++i) AddStatusLine("CRC計算中・・・0 / 100");
    ScrollToTop(w);
    ReplaceLastStatusLine("CRC計算中・・・100 / 100");
    EXPECT_EQ(TopIndex(w), 0);
    std::vector<std::string> lines = StatusLines(w);
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines[38], "CRC計算中・・・0 / 100");
    EXPECT_EQ(lines[39], "CRC計算中・・・100 / 100");
    EXPECT_EQ(transferState.statusLineCount, 40);
}

TEST_F(StatusList, BlankLinesCount) {
    HWND w = Window();
    AddStatusLine("切断しました");
    AddStatusLine("");
    AddStatusLine("接続待ち・・・");
    EXPECT_EQ(transferState.statusLineCount, 3);
    EXPECT_EQ(StatusLines(w), (std::vector<std::string>{"切断しました", "", "接続待ち・・・"}));
}

TEST_F(StatusList, LinesFromAnotherThreadAreInPlaceOnReturn) {
    HWND w = Window();
    std::vector<std::string> seen;
    std::thread worker([&] {
        for (int i = 0; i < 5; ++i) {
            char added[8], replaced[8];
            snprintf(added, sizeof added, "w%d", i);
            snprintf(replaced, sizeof replaced, "r%d", i);
            AddStatusLine(added);
            ReplaceLastStatusLine(replaced);
            seen.push_back(StatusLines(w).back());
        }
    });
    worker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4"}));
    EXPECT_EQ(static_cast<int>(SendMessageA(List(w), LVM_GETITEMCOUNT, 0, 0)), transferState.statusLineCount);
}
