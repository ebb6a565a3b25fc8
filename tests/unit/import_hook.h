// Replaces an entry of the test program's import table, so that a test can count or
// script calls the launcher code makes to the system (CreateDirectoryW, WriteFile, Sleep)
// without a seam in the launcher itself.
#pragma once

// Points the program's import of function from dll (case-insensitive, e.g.
// "kernel32.dll") at replacement and returns the previous target. Fails the test
// program (abort) when the import does not exist.
void* hook_import(const char* dll, const char* function, void* replacement);

// Restores an import on leaving scope.
class scoped_import_hook {
public:
    scoped_import_hook(const char* dll, const char* function, void* replacement)
        : dll_(dll), function_(function), original_(hook_import(dll, function, replacement)) {}
    ~scoped_import_hook() { hook_import(dll_, function_, original_); }
    void* original() const { return original_; }
    scoped_import_hook(const scoped_import_hook&) = delete;
    scoped_import_hook& operator=(const scoped_import_hook&) = delete;

private:
    const char* dll_;
    const char* function_;
    void* original_;
};

// The process token as a test wants it (Wine's is elevated, Administrators a group it may
// own by), while it lives: its elevation and, with groups false, groups that cannot be
// read and the user for default owner, as of a service's token. Every other answer is the
// system's.
class faked_token : public scoped_import_hook {
public:
    explicit faked_token(bool elevated, bool groups = true);
    ~faked_token();
};
