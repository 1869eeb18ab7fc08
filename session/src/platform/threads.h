// The session's own threads as the operating system sees them: their names, and how promptly the
// scheduler runs them. These are hints: where the system refuses one, the thread runs as before.
#pragma once

namespace ostrel::session::platform {

// Names the calling thread for a person watching the process (top -H, ps -L); at most 15
// characters are kept.
void nameThisThread(const char* name);

// Makes the calling thread a background one: its priority lowered by `niceness` steps (never
// below the lowest), and marked as a batch thread, which the scheduler never lets preempt
// another thread when it wakes. It keeps its share of the processor: under load it is slower,
// never stopped.
void makeThisThreadBackground(int niceness);

// Asks that the calling thread, once woken, runs at once rather than after the thread that holds
// the processor has used its time slice. Linux (6.12 on) grants this to any thread that asks for
// a short slice: it then preempts longer-sliced threads when it wakes. False where the system
// does not take the request (older kernels run the thread as before).
bool askForPromptWakeups();

}  // namespace ostrel::session::platform
