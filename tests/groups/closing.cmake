# Closing the main window at awkward moments and giving up a read-out, on
# Qt's offscreen platform against the simulator.
clb_window_test(ui_closing ui/ClosingTest.cpp)
