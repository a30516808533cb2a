#include "ui/main_window.h"

namespace ui {

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setWindowTitle("Form1");
    resize(1128, 731);
}

}  // namespace ui
