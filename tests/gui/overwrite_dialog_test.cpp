// The overwrite question as the worker asks it: AskOverwrite runs on a
// thread of its own (the worker's part) while the test thread finds the
// dialog and answers it as the user would.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "app/resource.h"
#include "engine/frontend.h"
#include "engine/transfer_state.h"
#include "tests/gui/gui_harness.h"

namespace {
const char kTitle[] = "上書き確認";

// Asks the question for name on a worker-like thread and lets answer drive
// the dialog; returns the dialog's result.
int Ask(const char* name, const std::function<void(HWND)>& answer) {
    snprintf(transferState.incomingName, kPathSize, "%s", name);
    std::atomic<int> result{-1};
    std::thread worker([&] { result = AskOverwrite(); });
    HWND dialog = WaitForDialog(kTitle, 20000);
    EXPECT_NE(dialog, nullptr);
    if (dialog != nullptr) answer(dialog);
    worker.join();
    return result;
}

void PressOk(HWND dialog) { PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
}  // namespace

using OverwriteDialog = WindowTest;

TEST_F(OverwriteDialog, OpensWithTheNameAndOtherNameChosen) {
    HWND w = Window();
    bool ownerDisabled = false;
    int result = Ask("data.bin", [&](HWND d) {
        EXPECT_EQ(Text(d, IDC_MESSAGE), "\"data.bin\"は既に存在しています");
        EXPECT_EQ(Text(d, IDC_NEW_NAME), "data.bin");
        EXPECT_TRUE(Checked(d, IDC_SAVE_AS));
        EXPECT_FALSE(Checked(d, IDC_OVERWRITE));
        EXPECT_TRUE(Enabled(d, IDC_NEW_NAME));
        ownerDisabled = !IsWindowEnabled(w);
        PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    });
    EXPECT_EQ(result, kCancel);
    EXPECT_TRUE(ownerDisabled) << "the main window is the owner";
    EXPECT_TRUE(IsWindowEnabled(w));
    EXPECT_STREQ(transferState.incomingName, "data.bin");
}

TEST_F(OverwriteDialog, ResultsOfEachChoice) {
    EXPECT_EQ(Ask("same.bin", PressOk), kSaveAs);
    EXPECT_STREQ(transferState.incomingName, "same.bin") << "OK without a change gives the same name";

    EXPECT_EQ(Ask("old.bin",
                  [](HWND d) {
                      SetText(d, IDC_NEW_NAME, "新しい.bin");
                      PressOk(d);
                  }),
              kSaveAs);
    EXPECT_STREQ(transferState.incomingName, "新しい.bin");

    EXPECT_EQ(Ask("keep.bin",
                  [](HWND d) {
                      SetText(d, IDC_NEW_NAME, "edited.bin");
                      Click(d, IDC_OVERWRITE);
                      EXPECT_FALSE(Enabled(d, IDC_NEW_NAME));
                      EXPECT_FALSE(Checked(d, IDC_SAVE_AS));
                      PressOk(d);
                  }),
              kOverwrite);
    EXPECT_STREQ(transferState.incomingName, "keep.bin") << "the edited text is dropped";

    EXPECT_EQ(Ask("x.bin",
                  [](HWND d) {
                      SetText(d, IDC_NEW_NAME, "");
                      PressOk(d);
                  }),
              kSaveAs);
    EXPECT_STREQ(transferState.incomingName, "") << "an empty name goes through as typed";

    EXPECT_EQ(Ask("esc.bin", [](HWND d) { PostMessageA(d, WM_CLOSE, 0, 0); }), kCancel);
}

TEST_F(OverwriteDialog, TypedNameIsCutTo259Characters) {
    std::string longName(300, 'n');
    EXPECT_EQ(Ask("short.bin",
                  [&](HWND d) {
                      SetText(d, IDC_NEW_NAME, longName);
                      PressOk(d);
                  }),
              kSaveAs);
    EXPECT_EQ(std::string(transferState.incomingName), std::string(259, 'n'));

    std::string longest(259, 'q');
    EXPECT_EQ(Ask(longest.c_str(),
                  [&](HWND d) {
                      EXPECT_EQ(Text(d, IDC_MESSAGE), "\"" + longest + "\"は既に存在しています");
                      PressOk(d);
                  }),
              kSaveAs);
    EXPECT_EQ(std::string(transferState.incomingName), longest);
}

TEST_F(OverwriteDialog, OtherNameAgainEnablesTheBoxWithItsText) {
    EXPECT_EQ(Ask("data.bin",
                  [](HWND d) {
                      SetText(d, IDC_NEW_NAME, "typed.bin");
                      Click(d, IDC_OVERWRITE);
                      EXPECT_FALSE(Enabled(d, IDC_NEW_NAME));
                      EXPECT_EQ(Text(d, IDC_NEW_NAME), "typed.bin");
                      Click(d, IDC_SAVE_AS);
                      EXPECT_TRUE(Enabled(d, IDC_NEW_NAME));
                      EXPECT_FALSE(Checked(d, IDC_OVERWRITE));
                      EXPECT_EQ(Text(d, IDC_NEW_NAME), "typed.bin");
                      PressOk(d);
                  }),
              kSaveAs);
    EXPECT_STREQ(transferState.incomingName, "typed.bin");
}
