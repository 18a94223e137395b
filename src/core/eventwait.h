#pragma once

#include <functional>

// Waits that sleep in the calling thread's event dispatcher: the thread's
// queued calls, timers and socket notifications run during the wait, and
// nothing wakes the thread but an event or the deadline.
//
// A slot that runs inside a wait must not start another wait of the same
// worker: waits nest, but the outer one only resumes once the inner ends.
// Objects deleted with deleteLater() during a wait go when control is back
// in the loop that was running when deleteLater() was called.
class EventWait
{
public:
    // Runs events until done() holds (checked first and after every batch
    // of events) or msecs have passed. Returns true when done() held, false
    // when the deadline passed first.
    static bool until(int msecs, const std::function<bool()> &done);
};
