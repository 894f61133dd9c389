// A host for window tests: the recording host, every box answered Ok, no
// printer.
#pragma once

#include "RecordingHost.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

class UiTestHost : public RecordingHost {
public:
    UiTestHost()
    {
        DefaultAnswer = MsgAnswer::Ok;
        PrintSucceeds = false;
        PrintError.clear();
    }
};

// main() of a window test: an application on the offscreen platform unless a display is asked for.
#define CLB_UI_TEST_MAIN                                                                                              \
    int main(int argc, char** argv)                                                                                   \
    {                                                                                                                 \
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);                                                                  \
        QApplication app(argc, argv);                                                                                 \
        ::testing::InitGoogleTest(&argc, argv);                                                                       \
        return RUN_ALL_TESTS();                                                                                       \
    }
