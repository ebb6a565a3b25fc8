// The end of the session for a windowed launcher: no console event reaches it, the
// system tells its top-level windows instead.
#pragma once

#include <windows.h>

// Starts a thread that keeps a hidden top-level window for the rest of the run and
// answers the end of the session as console_control_handler answers the console's
// events. user32 is loaded on that thread, from the system directory; where it or the
// window cannot be had (no desktop), the thread ends and the run goes on without it.
void start_session_window();

// The console event that a message to the window stands for: WM_ENDSESSION for a session
// that does end, as a logoff, as the close of this program alone (an installer's restart
// of it) or otherwise as a shutdown. False for every other message, and for a session end
// that was called off.
bool session_end_event(UINT message, WPARAM wparam, LPARAM lparam, DWORD* event);

// The window's procedure: grants WM_QUERYENDSESSION (the application is asked too and
// decides for itself), hands a session end to console_control_handler, which may not
// return, and leaves every other message to the system's default.
LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
