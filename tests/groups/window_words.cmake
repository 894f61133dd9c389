# What the window tells the technician, on Qt's offscreen platform against the simulator.
clb_window_test(ui_window_words ui/WindowWordsTest.cpp)
