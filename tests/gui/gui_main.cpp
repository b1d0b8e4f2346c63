// Entry of the GUI tests: the list view class registered as the program's
// entry point does, the module's own resources as the dialogs' source.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "engine/transfer_state.h"
#include "tests/support/fixtures.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    transferState.instance = GetModuleHandleA(nullptr);
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&controls);
    int result = RUN_ALL_TESTS();
    RemoveScratchFolders();
    return result;
}
