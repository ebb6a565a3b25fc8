#include "launcher/main_sequence.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "child/child_launch.h"
#include "child/cleanup.h"
#include "child/session_window.h"
#include "common/bounded_text.h"
#include "common/decimal_text.h"
#include "diag/fatal.h"
#include "diag/messages.h"
#include "diag/trace.h"
#include "launcher/cached_run.h"
#include "launcher/in_process.h"
#include "launcher/launcher_facts.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "payload/attached_payload.h"
#include "payload/extraction.h"
#include "payload/payload_reader.h"
#include "state/run_state.h"
#include "target_directory/target_directory.h"

namespace {

// The child finds its parent, and the template its {PID}, through this variable.
void publish_process_id() {
    char narrow[decimal_text_capacity];
    decimal_text(narrow, GetCurrentProcessId(), 1);
    wchar_t wide[decimal_text_capacity];
    text_widen(wide, decimal_text_capacity, narrow);
    set_environment("TARVIX_ONEFILE_PARENT", wide);
}

// The windowed kind is this image with the GUI subsystem in its header, whichever way it
// was made: the same code, started without a console.
bool image_is_windowed() {
    auto base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

int traced_exit_code(int exit_code) {
    if (trace_enabled) trace_line("exit code %u", static_cast<unsigned long long>(static_cast<uint32_t>(exit_code)));
    return exit_code;
}

}  // namespace

int launcher_main(int argument_count, wchar_t** arguments) {
    program_argument_count = argument_count;
    program_arguments = arguments;
    trace_start();
    SetDllDirectoryW(L"");  // no libraries from the current directory
    find_attached_payload();
    bool windowed = image_is_windowed();
    if (windowed) show_failures_in_message_box(tarvix_product_name);
    // A program payload has no library to load: every start of this executable, one that
    // the program itself made included, is a run of its own.
    in_process_mode = !child_is_payload_program() && detect_in_process_mode();
    if (trace_enabled) {
        trace_line("start %w: %s payload of %u bytes, %s, %s%s", get_executable_path(false),
                   child_is_payload_program() ? "program" : "library", tarvix_payload_size, tarvix_payload_route,
                   windowed ? "windowed" : "console", in_process_mode ? ", the child of a library payload" : "");
    }
    if (!in_process_mode && tarvix_cache_template[0] != 0) {
        int exit_code = 0;
        if (run_from_cache(argument_count, arguments, &exit_code)) return traced_exit_code(exit_code);
        // A cache that cannot be used must not keep the application from running: this
        // start runs it the default way, from a private directory of its own.
        if (trace_enabled) trace_line("cache not used: running the default way, from a private directory");
    }
    if (in_process_mode) {
        fix_target_directory();  // the parent's, from the values it published
    } else {
        // Left over from an outer run, these would make this run reuse its directory name.
        set_environment("TARVIX_ONEFILE_START", nullptr);
        set_environment("TARVIX_ONEFILE_TIME_US", nullptr);
        set_environment("TARVIX_ONEFILE_RANDOM", nullptr);
        publish_process_id();
        if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) fatal_error(message_register_handler);
        // No console, no console events: the end of the session comes as a message. A console
        // launcher started detached stays as it is, without user32.
        if (windowed) start_session_window();
    }

    payload_check_header(tarvix_payload, tarvix_payload_size);
    payload_reader_create(tarvix_payload, tarvix_payload_size);
    if (!in_process_mode) {
        remove_target_directory_on_abort();
        create_fresh_target_directory(choose_temporary_directory);
        if (trace_enabled) trace_line("target directory %w, a fresh private one in {TEMP}", target_directory);
    }
    extract_payload();
    // Released in both modes: the decoder's window (up to 128 MiB) would otherwise stay
    // committed for the application's whole life, although it needed only the first path.
    payload_reader_release();
    if (in_process_mode) return traced_exit_code(run_application_library(argument_count, arguments));

    publish_launcher_facts(arguments[0]);
    return traced_exit_code(static_cast<int>(run_child_process()));
}
