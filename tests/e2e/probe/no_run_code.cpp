// A library module that loads fine but exports no run_code.
extern "C" __declspec(dllexport) int run_other_code() { return 0; }
