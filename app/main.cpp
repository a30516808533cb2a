#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "platform/volume_map.h"
#include "ui/qt/dialogs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/translations.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--version") {
            std::printf("volstress %s\n", VOLSTRESS_VERSION);
            return 0;
        }
    QApplication app(argc, argv);
    ui::InstallQtTranslations(QLocale::system());
    ui::QtDialogs dialogs;
    auto volumes =
        std::shared_ptr<platform::IVolumeSystem>(platform::MakeVolumeSystem(platform::SystemVolumeMap()));
    auto engine = std::make_unique<engine::Engine>(volumes, dialogs);
    int rc = 0;
    {
        ui::QtForm1 form(*engine, dialogs);
        dialogs.SetOwner(&form);
        // Error boxes have no owner and would keep the program alive after its window has gone.
        QObject::connect(&form, &ui::QtForm1::closed, &app, [&] {
            dialogs.CancelAll();
            QApplication::quit();
        });
        form.show();
        rc = app.exec();
    }
    // Let workers waiting on an error box go, then end every worker; one stuck in a device call that
    // does not return ends with the process instead of holding it open.
    dialogs.CancelAll();
    if (!engine->Shutdown(std::chrono::seconds(2))) std::_Exit(rc);
    return rc;
}
