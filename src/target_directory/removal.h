// Removing the target directory with everything in it.
#pragma once

// Deletes a directory tree by walking it without recursion: each directory is held open
// from the moment its handle shows it to be no link, listed through that handle and
// deleted through it once empty. A link or junction inside is removed itself, never
// followed; read-only entries are made writable first. Leaves whatever cannot be deleted.
void delete_tree(const wchar_t* directory);

// Deletes the target directory: the walk first, then, only while the directory still
// stands, the shell's delete and up to 20 repeats 100 ms apart. Reports nothing. The
// main thread and the console handler's thread may both call it; they take turns.
void remove_target_directory();

// A normal run that ends early (a reported failure or an abort) removes the target
// directory it has made; an in-process run removes nothing, its parent does.
void remove_target_directory_after_failure();
