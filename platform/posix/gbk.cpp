#include "platform/posix/gbk.h"

#include <iconv.h>

bool GbkToUtf8(const char* text, std::string* utf8) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    // iconv_open reports failure as (iconv_t)-1.
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;  // NOLINT(performance-no-int-to-ptr)
    std::string in(text);
    std::string out(in.size() * 3 + 1, '\0');  // a GBK character takes at most 3 bytes in UTF-8
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1)) return false;
    out.resize(out.size() - outLeft);
    *utf8 = out;
    return true;
}
