// Every line the launcher itself can write. Users match on these texts; keep them stable.
#pragma once

inline constexpr char message_register_handler[] = "Error, failed to register signal handler.";
inline constexpr char message_header_missing[] = "Error, couldn't find attached data header.";
inline constexpr char message_out_of_memory[] = "Error, couldn't allocate memory.";
inline constexpr char message_decode_failed[] = "Error, couldn't decode attached data.";
inline constexpr char message_payload_empty[] = "Error, attached data holds no files.";
inline constexpr char message_unsafe_path[] = "Error, attached data names a file outside the target directory.";
inline constexpr char message_unpack_failed[] = "Error, couldn't unpack file to target path.";
inline constexpr char message_create_directory_failed[] = "Error, couldn't create target directory.";
inline constexpr char message_launch_failed[] = "Error, couldn't launch child";
inline constexpr char message_command_line_too_long[] = "Error, command line too long to pass on to the child.";
inline constexpr char message_load_library[] = "Error, load DLL.";
inline constexpr char message_entry_missing[] = "Error, DLL entry point not found.";

// Formats with one wide text, narrowed by narrow_for_message before printing.
inline constexpr char format_template_error[] = "Error, couldn't runtime expand spec '%s'.\n";
inline constexpr char format_open_error[] = "Error, failed to open '%s' for writing.\n";
// After a library or program that did not load or start: the file, and where it can be
// found out, the import it lacks (the file that needs it first, then the import's name).
inline constexpr char format_failed_file[] = "Error, the file that failed is '%s'.\n";
inline constexpr char format_missing_import[] =
    "Error, '%s' needs '%s', which is neither beside it nor in the system folder.\n";
