// What every way of running the application publishes to it, whichever process loads it.
#pragma once

// Publishes the directory that holds the launcher's executable and argv[0] as it came,
// for the application and everything it starts.
void publish_launcher_facts(const wchar_t* argument_0);
