#pragma once
// The program's start-up sequence and message loop, on the installed platform.

namespace portwise::app {

// Runs Portwise until its window is closed; returns the process exit code. Main thread only.
int RunApplication();

}  // namespace portwise::app
