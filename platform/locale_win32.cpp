#include <windows.h>

#include "platform/locale.h"
#include "platform/win32_text.h"

namespace platform {

NumberSeparators UserNumberSeparators() {
    NumberSeparators result{"", "."};
    wchar_t buf[8];
    int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STHOUSAND, buf, 8);
    if (n > 1) result.thousands = Narrow(buf, n - 1);
    n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
    if (n > 1) result.decimal = Narrow(buf, n - 1);
    return result;
}

}  // namespace platform
