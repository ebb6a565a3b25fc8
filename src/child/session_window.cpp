#include "child/session_window.h"

#include "child/cleanup.h"
#include "common/system_library.h"

namespace {

// Loading user32 and making a window costs a short run more than the run itself under
// Wine (13 ms against a 20 ms run): a run that ends before this never pays for it, and a
// session that ends within it finds the application in the launcher's job all the same.
constexpr DWORD window_delay_ms = 100;

using default_procedure_function = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
using register_class_function = ATOM(WINAPI*)(const WNDCLASSW*);
using create_window_function = HWND(WINAPI*)(DWORD, const wchar_t*, const wchar_t*, DWORD, int, int, int, int, HWND,
                                             HMENU, HINSTANCE, void*);
using get_message_function = BOOL(WINAPI*)(MSG*, HWND, UINT, UINT);
using dispatch_message_function = LRESULT(WINAPI*)(const MSG*);

// Set by the window's thread before its window exists; only that thread runs the procedure.
default_procedure_function default_procedure = nullptr;

template <typename function>
bool bind(function* bound, const char* name) {
    *bound = reinterpret_cast<function>(system_function(L"user32.dll", name));
    return *bound != nullptr;
}

DWORD WINAPI session_window_thread(void*) {
    Sleep(window_delay_ms);
    register_class_function register_class;
    create_window_function create_window;
    get_message_function get_message;
    dispatch_message_function dispatch_message;
    if (!bind(&default_procedure, "DefWindowProcW") || !bind(&register_class, "RegisterClassW") ||
        !bind(&create_window, "CreateWindowExW") || !bind(&get_message, "GetMessageW") ||
        !bind(&dispatch_message, "DispatchMessageW")) {
        return 0;
    }
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = session_window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"tarvix session";
    if (register_class(&window_class) == 0) return 0;
    // Top-level and never shown: a message-only window hears no news of the session's end.
    if (create_window(0, window_class.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                      window_class.hInstance, nullptr) == nullptr) {
        return 0;
    }
    MSG message;
    while (get_message(&message, nullptr, 0, 0) > 0) dispatch_message(&message);
    return 0;
}

}  // namespace

void start_session_window() {
    HANDLE thread = CreateThread(nullptr, 0, session_window_thread, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}

bool session_end_event(UINT message, WPARAM wparam, LPARAM lparam, DWORD* event) {
    if (message != WM_ENDSESSION || wparam == FALSE) return false;
    if (lparam & ENDSESSION_CLOSEAPP) {
        *event = CTRL_CLOSE_EVENT;
    } else if (lparam & ENDSESSION_LOGOFF) {
        *event = CTRL_LOGOFF_EVENT;
    } else {
        *event = CTRL_SHUTDOWN_EVENT;
    }
    return true;
}

LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_QUERYENDSESSION) return TRUE;
    if (message == WM_ENDSESSION) {
        DWORD event = 0;
        if (session_end_event(message, wparam, lparam, &event)) console_control_handler(event);
        return 0;
    }
    return default_procedure(window, message, wparam, lparam);
}
