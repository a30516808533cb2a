#include <QApplication>

#include "ui/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ui::TForm1 form;
    form.show();
    return app.exec();
}
