// Splitting a Windows command line into its words, on POSIX.
#ifndef LAUNCHER_PLATFORM_POSIX_COMMAND_LINE_H
#define LAUNCHER_PLATFORM_POSIX_COMMAND_LINE_H

#include <string>
#include <vector>

// Splits a command line the way Windows reads one (CommandLineToArgvW):
// the first word runs to the first white space, or from a quote to the next
// quote; the other words are separated by white space outside quotes, with
// 2n backslashes before a quote giving n backslashes and an opening or
// closing quote, 2n+1 giving n backslashes and a literal quote, and three
// quotes in a row giving one literal quote.
std::vector<std::string> SplitCommandLine(const char* commandLine);

#endif
