// Morvane.exe's entry point: wires the Windows services into the run.
// Placeholder until the platform services land.

int wmain() { return 0; }
