// The README's picture of the window: three image files behind C:, D: and E:, a short run with reads and
// writes, one statistics refresh, and the window saved as a PNG. Offscreen: no display or root needed.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "engine/engine.h"
#include "tests/test_support.h"
#include "ui/qt/main_window.h"
#include "ui/qt/translations.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_picture OUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    ui::InstallQtTranslations(QLocale::system());
    testing_support::TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 64 << 20, 0x11);
    map.devicePath[3] = dir.MakeImage("d.img", 128 << 20, 0x22);
    map.devicePath[4] = dir.MakeImage("e.img", 300 << 20, 0x33);
    testing_support::FakeDialogs dialogs;  // answers "Yes": the image files may be written
    engine::Engine eng(platform::MakeVolumeSystem(map), dialogs);
    ui::QtForm1 form(eng, dialogs);
    form.show();
    form.EditTestTime->setText("1");  // statistics every second
    form.EditRIOsPerPortion->setText("3");
    form.EditWIOsPerPortion->setText("1");
    form.EditTimesMsBetweenPortion->setText("2");
    form.StartButton->click();
    int status = 1;
    QTimer::singleShot(12'000, [&] {
        form.TimerRefreshDataTimer();
        form.PageControl1->setCurrentIndex(0);
        status = form.grab().save(argv[1]) ? 0 : 1;
        form.close();
        app.quit();
    });
    app.exec();
    eng.Shutdown(std::chrono::seconds(3));
    return status;
}
