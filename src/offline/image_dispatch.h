#pragma once
// morvane-offline -a IMAGE: the repair of disk images is a program of its
// own, morvane-offline-image, in a package of its own (it needs libguestfs
// and qemu); this one hands such a command line over to it.

// Replaces this process with morvane-offline-image on the same arguments;
// returns only when that program is not there, having said so and what to
// install, with the exit code to end with.
int RunImageProgram(int argc, char** argv);
