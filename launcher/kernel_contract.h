// What passes between the launcher and the kernel it supervises. The kernel
// is a program of its own; these are the names both sides rely on.
#ifndef LAUNCHER_KERNEL_CONTRACT_H
#define LAUNCHER_KERNEL_CONTRACT_H

// The kernel's executable, started by this name: the platform looks for it in
// the launcher's own directory first, then in the working directory.
constexpr char KernelFile[] = "kernel.bin";

// The named mutex a running kernel holds.
constexpr char KernelMutexName[] = "KERNELBIN";

// The kernel's main page, opened in the user's browser after the first launch.
constexpr char MainPageAddress[] = "http://127.0.0.1:9080/drav?t=main";

#endif
