// A library that travels beside the probe, for the probe to load by its bare name.
extern "C" __declspec(dllexport) int probe_plugin_answer() { return 42; }
