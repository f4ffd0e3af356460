// A plain shared object for the loader tests: one exported function and one variable.
extern "C" __attribute__((visibility("default"))) int NbTestAdd(int a, int b) { return a + b; }
extern "C" __attribute__((visibility("default"))) const char NbTestName[] = "exports";
