#include <langinfo.h>
#include <locale.h>

#include "platform/locale.h"

namespace platform {

NumberSeparators UserNumberSeparators() {
    NumberSeparators result{"", "."};
    locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return result;
    const char* thousands = nl_langinfo_l(THOUSEP, loc);
    const char* decimal = nl_langinfo_l(RADIXCHAR, loc);
    if (thousands) result.thousands = thousands;
    if (decimal && *decimal) result.decimal = decimal;
    freelocale(loc);
    return result;
}

}  // namespace platform
