// A program that does nothing: the cost of starting and ending a process, which every
// launcher run pays twice (the launcher and its child).
#include "probe.h"

int wmain() {
    probe_report();
    return 0;
}
