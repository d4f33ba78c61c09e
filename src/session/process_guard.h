#pragma once
// Makes every way the process ends stop the pump. exit() called from anywhere (the
// windowing toolkit calls it when the display goes away) runs the session's shutdown; a
// crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS) writes the escape byte to the
// pump and takes both ports out of exclusive mode from the signal handler, system calls
// being all that is safe there, then dies as it would have. One session at a time. Main
// thread.

namespace quorvel {

class Session;

void guard_process_exit(Session& session);
// The session no longer guarded (its destructor calls this).
void release_process_guard(Session& session);

}  // namespace quorvel
