#pragma once
// The last steps of the desktop program's start: build and show the main window, report a
// failure to do so, run the event loop.
// GUI thread only; called once by main.

#include <QWidget>
#include <functional>
#include <memory>

class KestraneApplication;

// Builds the window with `make_window` and shows it, then runs the event loop and returns its
// code. When building or showing fails, logs "Error occurred while starting the application: "
// with the error, shows the "Application Error" box and returns 1 without entering the loop.
int run_main_window(KestraneApplication& app,
                    const std::function<std::unique_ptr<QWidget>()>& make_window);
