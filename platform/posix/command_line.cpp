// Splitting a Windows command line into its words. Pure string work: no
// system calls here.
#include "platform/posix/command_line.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(const char* commandLine) {
    const char* s = commandLine;
    std::vector<std::string> words;
    if (*s == '\0') return words;

    // The program name: no backslash or quote processing.
    std::string word;
    if (*s == '"') {
        ++s;
        while (*s != '\0' && *s != '"') word += *s++;
        if (*s == '"') ++s;
    } else {
        while (*s != '\0' && !IsBlank(*s)) word += *s++;
    }
    words.push_back(word);

    while (IsBlank(*s)) ++s;
    word.clear();
    bool inWord = false;  // something, even an empty pair of quotes, was read
    int quotes = 0;       // 1 while inside quotes
    size_t backslashes = 0;
    while (*s != '\0') {
        if (IsBlank(*s) && quotes == 0) {
            words.push_back(word);
            word.clear();
            inWord = false;
            backslashes = 0;
            while (IsBlank(*s)) ++s;
            continue;
        }
        inWord = true;
        if (*s == '\\') {
            word += *s++;
            ++backslashes;
        } else if (*s == '"') {
            // Half of the backslashes stay; an odd one makes the quote literal.
            word.resize(word.size() - backslashes / 2);
            if (backslashes % 2 == 0) {
                ++quotes;
            } else {
                word.back() = '"';
            }
            ++s;
            backslashes = 0;
            // Quotes in a row: every third one is a literal quote.
            while (*s == '"') {
                if (++quotes == 3) {
                    word += '"';
                    quotes = 0;
                }
                ++s;
            }
            if (quotes == 2) quotes = 0;
        } else {
            word += *s++;
            backslashes = 0;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}
