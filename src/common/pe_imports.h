// What a library or program on disk imports, read from its own bytes, and which of those
// imports a start could not find: a library that fails to load for want of another is
// then named to the user.
#pragma once

#include <cstddef>

enum pe_import_result { pe_import_found, pe_import_end, pe_import_malformed };

// The name of import number index (from 0) in the import table of the PE file held in
// file (size bytes, as stored on disk). On pe_import_found, *name points into file at
// *length bytes followed by a NUL. Every offset is checked against size and against the
// section it lies in; anything outside, or a file that is no PE image, is malformed.
// Delay-loaded imports are not read: they are loaded when first called, never at start.
pe_import_result pe_import_name(const unsigned char* file, size_t size, size_t index, const char** name,
                                size_t* length);

// True for the names the system resolves itself, whichever folder holds what: the API
// sets (api-ms-*, ext-ms-*).
bool is_api_set_name(const char* name, size_t length);

// Looks for the first import of the file at path (a full path) that lies neither in its
// own folder nor in the system folder and is no API set; imports that lie beside it are
// searched the same way, a few levels down. On success importer holds the full path of
// the file that needs it (path itself, or a library beside it) and missing its name.
// False when every import is found, or when a file cannot be read or is malformed.
// Capacities count the NUL.
bool find_missing_import(const wchar_t* path, wchar_t* importer, size_t importer_capacity, char* missing,
                         size_t missing_capacity);
