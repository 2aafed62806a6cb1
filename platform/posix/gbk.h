// GBK (code page 936) text, as the notices keep it, in UTF-8.
#ifndef LAUNCHER_PLATFORM_POSIX_GBK_H
#define LAUNCHER_PLATFORM_POSIX_GBK_H

#include <string>

// Converts GBK text to UTF-8; false when it is not GBK or no converter is at
// hand.
bool GbkToUtf8(const char* text, std::string* utf8);

#endif
