// The main thread of the user interface: the thread that made the first view
// (or called markMainThread()). performOnMainThread() queues work to its run
// loop from any thread, without waiting.
#pragma once

#include <functional>

namespace nb::ui {

// Records the calling thread as the main thread, if none is recorded yet.
void markMainThread();
// True on the main thread (and on any thread while none is recorded).
bool isMainThread();
// Queues `fn` to the main thread's run loop. Any thread.
void performOnMainThread(std::function<void()> fn);

}  // namespace nb::ui
