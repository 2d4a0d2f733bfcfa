// The display query through DXGI and the dialog's list made from it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "window/setup_dialog.h"

using velk::ModeSize;
using velk::SetupDialog;

TEST(DxgiDisplayModes, TheOutputsModesMakeTheList) {
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    std::vector<ModeSize> modes = velk::platform::QueryDisplayModes();
    ASSERT_FALSE(modes.empty());
    // The primary output reports the mode the screen is in.
    EXPECT_NE(std::find(modes.begin(), modes.end(), ModeSize(sw, sh)), modes.end());
    // The list is the query's sizes, filtered, without repeats, largest first (the
    // fallback is not used when the query succeeds).
    std::vector<ModeSize> list = SetupDialog::ListVideoModes(sw, sh);
    EXPECT_EQ(list, SetupDialog::ListVideoModesFrom([&] { return modes; }, sw, sh));
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_GE(list[i].first, 800);
        if (i > 0) {
            EXPECT_GE(static_cast<int64_t>(list[i - 1].first) * list[i - 1].second,
                      static_cast<int64_t>(list[i].first) * list[i].second);
        }
    }
}
