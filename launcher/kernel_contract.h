// What passes between the launcher and the kernel it supervises. The kernel
// is a program of its own; these are the names both sides rely on.
#ifndef LAUNCHER_KERNEL_CONTRACT_H
#define LAUNCHER_KERNEL_CONTRACT_H

// The kernel's executable, started by this name from the working directory
// only, never from the launcher's own directory or the search path: the
// kernel, its tags and its update files always come from one directory.
constexpr char KernelFile[] = "kernel.bin";

// The named mutex a running kernel holds.
constexpr char KernelMutexName[] = "KERNELBIN";

// The kernel's main page, opened in the user's browser after the first launch.
constexpr char MainPageAddress[] = "http://127.0.0.1:9080/drav?t=main";

#endif
