#pragma once
// Qt's own texts (stock buttons "Yes", "No", "Cancel") in the user's language, from Debian's
// qt6-translations-l10n, so they match the window's Russian captions where the user reads Russian.
#include <QLocale>

namespace ui {

// Installs Qt's translation for locale into the application; false when none is installed for it.
bool InstallQtTranslations(const QLocale& locale);

}  // namespace ui
