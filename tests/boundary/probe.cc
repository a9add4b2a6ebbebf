// One include of a module's internal header, named by the build; the probe
// targets in CMakeLists.txt compile it with and without the right to see it.
#include PROBE_HEADER

int ProbeLinked() { return 0; }
