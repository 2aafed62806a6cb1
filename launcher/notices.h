// What every notice of the launcher shares.
#ifndef LAUNCHER_NOTICES_H
#define LAUNCHER_NOTICES_H

// Notices keep their texts in GBK (code page 936), as the platform's 8-bit
// dialog call takes them.

// 警告
constexpr char NoticeCaption[] = "\xbe\xaf\xb8\xe6";

#endif
