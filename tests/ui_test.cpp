#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabBar>
#include <QtTest/QtTest>
#include <filesystem>
#include <thread>

#include "tests/test_support.h"
#include "ui/qt/charts.h"
#include "ui/qt/dialogs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/translations.h"

using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;

class WindowTest : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeVolumeSystem> fake;
    FakeDialogs dialogs;
    std::unique_ptr<engine::Engine> eng;
    std::unique_ptr<ui::QtForm1> form;

    // A window over fake volumes C: (1,048,575 bytes) and E: (64 MiB), shown.
    void Open() {
        fake = std::make_shared<FakeVolumeSystem>();
        fake->volumes[2].present = true;
        fake->volumes[2].deviceSize = 1'048'575;
        fake->volumes[4].present = true;
        fake->volumes[4].deviceSize = 64 << 20;
        eng = std::make_unique<engine::Engine>(fake, dialogs, 100'000);
        form = std::make_unique<ui::QtForm1>(*eng, dialogs);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

  private slots:
    void cleanup() {
        form.reset();
        eng.reset();
    }

    void controlsAsStored() {
        Open();
        QCOMPARE(form->windowTitle(), QString("Form1"));
        QCOMPARE(form->font().pixelSize(), 11);
        QCOMPARE(form->StartButton->text(), QString("Старт"));
        QCOMPARE(form->StartButton->geometry(), QRect(840, -7, 75, 25));
        QCOMPARE(form->WriteStartButton->text(), QString("Запись статистики"));
        QCOMPARE(form->WriteStartButton->geometry(), QRect(944, 15, 107, 25));
        QVERIFY(form->WriteStartButton->isEnabled());
        QCOMPARE(form->ComboBoxBlockSize->geometry(), QRect(82, -3, 71, 21));
        QCOMPARE(form->ComboBoxBlockSize->currentText(), QString("4096"));
        QCOMPARE(form->ComboBoxBlockSize->count(), 10);
        QCOMPARE(form->ComboBoxBlockSize->itemText(9), QString("262144"));
        QVERIFY(form->ComboBoxBlockSize->isEditable());
        QCOMPARE(form->ComboBoxTestMetod->itemText(1), QString("Batterfly"));
        QCOMPARE(form->ComboBoxTestMetod->currentText(), QString("Random"));
        QCOMPARE(form->ComboBoxIOsPerPortionCountType->currentText(), QString("Fixed"));
        QCOMPARE(form->ComboBoxTimesMsBetweenPortionCountType->currentText(), QString("Random"));
        QCOMPARE(form->EditThreadCount->text(), QString("2"));
        QCOMPARE(form->EditTestTime->text(), QString("30"));
        QCOMPARE(form->EditRIOsPerPortion->text(), QString("1"));
        QCOMPARE(form->EditWIOsPerPortion->geometry(), QRect(410, 21, 30, 21));
        QCOMPARE(form->EditTimesMsBetweenPortion->text(), QString("0"));
        QCOMPARE(form->LabelThreadCount->text(), QString("Количество потоков на диск"));
        QCOMPARE(form->Label3->pos(), QPoint(462, 21));
        QCOMPARE(form->LabelTimer->text(), QString("00:00:00"));
        QCOMPARE(form->LabelDebugText->text(), QString("LabelDebugText"));
        QCOMPARE(form->LabelErrorsTotal->pos(), QPoint(807, 40));
        QCOMPARE(form->Timer1->interval(), 1000);
        QCOMPARE(form->TimerRefreshData->interval(), 60000);
        QVERIFY(form->Timer1->isActive() && form->TimerRefreshData->isActive());
        QCOMPARE(form->ChartIO->chart()->title(), QString("IO/s"));
        QCOMPARE(form->ChartMBytes->chart()->title(), QString("MBytes/s"));
        QCOMPARE(form->ChartTime->chart()->title(), QString("Time mks"));
        QVERIFY(!form->ChartIO->chart()->legend()->isVisible());
        QCOMPARE(form->Series2->pen().color(), QColor(0x44, 0x66, 0xA3));
        QVERIFY(!form->Series1->pointsVisible());
        QCOMPARE(form->PageControl1->pos(), QPoint(0, 46));
        // The counter calibration: frequency, a blank, the grouped tick count of one counter read.
        QVERIFY(QRegularExpression("^1000000000 \\d[\\d,. \u00a0]*$").match(form->Label1->text()).hasMatch());

        // Tab order follows the stored numbers.
        const QList<QWidget*> expected = {form->ComboBoxBlockSize,
                                          form->ComboBoxTestMetod,
                                          form->EditThreadCount,
                                          form->EditTestTime,
                                          form->StartButton,
                                          form->EditTimesMsBetweenPortion,
                                          form->ComboBoxTimesMsBetweenPortionCountType,
                                          form->EditRIOsPerPortion,
                                          form->EditWIOsPerPortion,
                                          form->ComboBoxIOsPerPortionCountType,
                                          form->WriteStartButton};
        QList<QWidget*> seen;
        QWidget* w = form->PageControl1;
        for (int guard = 0; guard < 500 && seen.size() < expected.size(); ++guard) {
            w = w->nextInFocusChain();
            QWidget* top = w;
            while (top && !expected.contains(top)) top = top->parentWidget();
            if (top && !seen.contains(top)) seen.append(top);
        }
        QCOMPARE(seen, expected);
    }

    void volumeTabsCopyTheAvgLayout() {
        Open();
        QCOMPARE(form->PageControl1->count(), 3);
        QCOMPARE(form->PageControl1->tabText(0), QString("Avg"));
        QCOMPARE(form->PageControl1->tabText(1), QString("C"));
        QCOMPARE(form->PageControl1->tabText(2), QString("E"));
        QCOMPARE(form->PageControl1->currentWidget(), form->TabSheet1);
        QCOMPARE(form->PageControl1->tabBar()->tabToolTip(1), QString("/dev/fakec"));
        QCOMPARE(form->Label1s[2]->text(), QString("Size=0 MBytes"));
        QCOMPARE(form->Label1s[4]->text(), QString("Size=64 MBytes"));
        QCOMPARE(form->LabelDebug[2]->text(), QString("MBytes per sec"));
        QCOMPARE(form->LabelTimes[2]->text(), QString("Times total"));
        QCOMPARE(form->LabelTimes[2]->pos(), form->LabelTimesTotal->pos());
        QCOMPARE(form->LabelIOperSec[4]->pos(), QPoint(195, 40));
        QCOMPARE(form->LabelDebug[4]->pos(), QPoint(227, 3));
        QVERIFY(form->TestThisDisk[2]->isChecked());
        QCOMPARE(form->TestThisDisk[2]->text(), QString("Check this disk"));
        QCOMPARE(form->TestThisDisk[2]->pos(), QPoint(3, form->Label1->y() + form->Label1->height()));
        QCOMPARE(form->ChartIOs[2]->chart()->title(), QString("IO/s"));
        QCOMPARE(form->ChartIOs[2]->pos(), form->ChartIO->pos());
        QCOMPARE(form->ChartTimes[4]->size(), form->ChartTime->size());
        QCOMPARE(form->ChartMBytess[4]->geometry(), form->ChartMBytes->geometry());
        QVERIFY(form->TabSheets[3] == nullptr && form->LabeIOs[0] == nullptr);
    }

    void resizeArithmeticAndVolumeTabsFollow() {
        Open();
        form->PageControl1->setCurrentIndex(1);  // whichever tab is active
        form->TabSheet1->resize(1000, 600);
        form->TabSheet1Resize();
        QCOMPARE(form->ChartMBytes->x(), 504);
        QCOMPARE(form->ChartMBytes->width(), 493);
        QCOMPARE(form->ChartIO->width(), 493);
        QCOMPARE(form->ChartTime->width(), 994);
        QCOMPARE(form->ChartTime->height(), (600 - 72) / 2 - 3);
        QCOMPARE(form->ChartTime->y(), 72 + 261 + 3);
        QCOMPARE(form->ChartIO->height(), 261);
        QCOMPARE(form->ChartIO->pos(), QPoint(3, 72));
        for (int i : {2, 4}) {
            QCOMPARE(form->ChartMBytess[i]->geometry(), form->ChartMBytes->geometry());
            QCOMPARE(form->ChartIOs[i]->geometry(), form->ChartIO->geometry());
            QCOMPARE(form->ChartTimes[i]->geometry(), form->ChartTime->geometry());
        }
        // The window's own resize: the page control spans the client area below the settings.
        form->resize(1200, 800);
        QCOMPARE(form->PageControl1->size(), QSize(1200, 800 - 46));
        QCOMPARE(form->ChartTimes[2]->width(), form->TabSheet1->width() - 6);

        form->resize(20, 30);
        form->TabSheet1->resize(4, 10);
        form->TabSheet1Resize();
        for (QWidget* c :
             {static_cast<QWidget*>(form->ChartIO), static_cast<QWidget*>(form->ChartMBytes),
              static_cast<QWidget*>(form->ChartTime), static_cast<QWidget*>(form->ChartTimes[2])}) {
            QVERIFY(c->width() >= 0);
            QVERIFY(c->height() >= 0);
        }
        QCOMPARE(form->ChartTime->width(), 0);
    }

    void startRefreshStopAndWriteTheLog() {
        Open();
        testing_support::TempDir dir;
        const auto cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        form->EditTestTime->setText("1");  // statistics every second
        form->TestThisDisk[4]->setChecked(false);
        form->StartButton->click();
        QCOMPARE(form->StartButton->text(), QString("Стоп"));
        QCOMPARE(form->LabelTimer->text(), QString("00:00:00"));
        QTRY_VERIFY_WITH_TIMEOUT(eng->Volume(2)->CurInterval >= 2, 20000);
        form->StartButton->click();  // Stop
        QVERIFY(!eng->Running());
        QTRY_VERIFY_WITH_TIMEOUT(!eng->Workers().AnyBusy(), 20000);
        form->Timer1Timer();
        QCOMPARE(form->StartButton->text(), QString("Старт"));

        form->TimerRefreshDataTimer();
        QVERIFY(form->LabelDebug[2]->text().startsWith("Curpos "));
        QVERIFY(form->LabelDebug[4]->text().startsWith("Curpos "));
        QVERIFY(form->LabeIOs[2]->text().startsWith("I/O total "));
        QCOMPARE(form->LabeIOs[4]->text(), QString("I/O total "));  // unticked: untouched
        QCOMPARE(form->LabeIOsTotal->text(), form->LabeIOs[2]->text());
        QVERIFY(form->LabelIOperSec[2]->text().startsWith("I/O per sec "));
        QCOMPARE(form->ChartIOsSeria[2]->count(), eng->Volume(2)->CurInterval);
        QVERIFY(form->Series1->count() >= 1);
        QVERIFY(form->Series1->at(0).x() > 0);  // the first bin stays drawable on the log axis

        form->WriteStartButton->click();
        const auto size = std::filesystem::file_size(dir.path() / "SrcStats.dat");
        QCOMPARE(size, static_cast<uintmax_t>(eng->Log().Count()) * 32);
        // The operator is told it worked, how many entries and where.
        QCOMPARE(dialogs.Boxes().back().caption, std::string("Запись статистики"));
        QVERIFY(dialogs.Boxes().back().body.find(stats::FormatCount(eng->Log().Count())) !=
                std::string::npos);
        QVERIFY(dialogs.Boxes().back().body.find("SrcStats.dat") != std::string::npos);
        std::filesystem::current_path(cwd);
    }

    void everySettingsCaptionFitsBeforeTheNextControl() {
        Open();
        const std::pair<QLabel*, QWidget*> rows[] = {
            {form->LabelBlocSize, form->ComboBoxBlockSize},
            {form->LabelTestMetod, form->ComboBoxTestMetod},
            {form->LabelThreadCount, form->EditThreadCount},
            {form->LabelTestTime, form->EditTestTime},
            {form->Label2, form->ComboBoxIOsPerPortionCountType},
            {form->Label5, form->EditRIOsPerPortion},
            {form->Label6, form->EditWIOsPerPortion},
            {form->Label3, form->ComboBoxTimesMsBetweenPortionCountType},
            {form->Label4, form->EditTimesMsBetweenPortion}};
        for (const auto& [label, control] : rows) {
            const int right = label->x() + label->fontMetrics().horizontalAdvance(label->text());
            QVERIFY2(right <= control->x(),
                     qPrintable(label->text() + " ends at " + QString::number(right) +
                                ", the control starts at " + QString::number(control->x())));
        }
    }

    void stockButtonsSpeakTheUsersLanguage() {
        QVERIFY(ui::InstallQtTranslations(QLocale(QLocale::Russian, QLocale::Russia)));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString("&Да"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&No"), QString("&Нет"));
    }

    void chartAxesNeverRepeatALabel() {
        ui::ChartBox* io = ui::MakeChart(ui::ChartKind::IO, "IO/s", nullptr);
        ui::ChartBox* mb = ui::MakeChart(ui::ChartKind::MBytes, "MBytes/s", nullptr);
        QLineSeries* ioSeries = ui::AddSeries(io);
        QLineSeries* mbSeries = ui::AddSeries(mb);
        const std::vector<std::vector<stats::ChartPoint>> cases = {
            {}, {{0, 1}}, {{0, 3}, {1, 7}}, {{0, 123456}}};
        for (const auto& points : cases) {
            ui::SetPoints(ioSeries, points, ui::ChartKind::IO);
            ui::SetPoints(mbSeries, points, ui::ChartKind::MBytes);
            for (auto [box, decimals] : {std::pair{io, 0}, std::pair{mb, 2}})
                for (QAbstractAxis* a : box->chart()->axes()) {
                    auto* axis = qobject_cast<QValueAxis*>(a);
                    const int d = a->orientation() == Qt::Horizontal ? 0 : decimals;
                    const double step = (axis->max() - axis->min()) / (axis->tickCount() - 1);
                    QVERIFY(step >= std::pow(10.0, -d) - 1e-12);  // labels differ at the precision printed
                    for (const auto& p : points)
                        QVERIFY(axis->max() >= (a->orientation() == Qt::Horizontal ? p.x : p.y));
                }
        }
        delete io;
        delete mb;
    }

    void aRefusedStartNamesTheFieldByItsCaptionAndLeavesTheWindowAsItWas() {
        Open();
        const std::pair<QWidget*, QString> bad[] = {{form->ComboBoxBlockSize, "4k"},
                                                    {form->EditTestTime, "40000"},
                                                    {form->EditThreadCount, "two"},
                                                    {form->EditWIOsPerPortion, "-3"},
                                                    {form->ComboBoxBlockSize, "2000000"}};
        const std::string expected[] = {
            "Размер блока: «4k» — не целое число",
            "Время тестирования (минут): «40000» — должно быть в пределах ±35791",
            "Количество потоков на диск: «two» — не целое число", "к W: «-3» — должно быть не меньше 0",
            "Размер блока: «2000000» больше тома C: (/dev/fakec), в котором 1048575 байт"};
        for (size_t k = 0; k < std::size(bad); ++k) {
            if (auto* combo = qobject_cast<QComboBox*>(bad[k].first)) combo->setCurrentText(bad[k].second);
            if (auto* edit = qobject_cast<QLineEdit*>(bad[k].first)) edit->setText(bad[k].second);
            form->StartButton->click();
            QCOMPARE(form->StartButton->text(), QString("Старт"));
            QVERIFY(!eng->Running());
            QCOMPARE(dialogs.Boxes().back().caption, std::string("Неподходящие праметры задания"));
            QCOMPARE(dialogs.Boxes().back().body, expected[k]);
            form->ComboBoxBlockSize->setCurrentText("4096");
            form->EditTestTime->setText("30");
            form->EditThreadCount->setText("2");
            form->EditWIOsPerPortion->setText("0");
        }
        form->EditThreadCount->setText("600");  // two volumes: 1200 workers
        form->StartButton->click();
        QCOMPARE(dialogs.Boxes().back().body,
                 std::string("Максимальное количество потоков 1024. Запрошено 1200"));
        QVERIFY(!eng->Running());
    }

    void withoutTheRightToOpenVolumesTheWindowSaysWhyAndTheFix() {
        fake = std::make_shared<FakeVolumeSystem>();
        for (int i : {2, 3}) {
            fake->volumes[i].present = true;
            fake->volumes[i].openFails = true;
            fake->volumes[i].openError = 13;  // EACCES
        }
        eng = std::make_unique<engine::Engine>(fake, dialogs, 1000);
        form = std::make_unique<ui::QtForm1>(*eng, dialogs);
        form->SetRightsCheck([] { return false; });  // as an ordinary user: the advice can help
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(form->PageControl1->count(), 1);
        QCOMPARE(dialogs.Boxes().back().caption, std::string("Нет доступа к томам"));
        QVERIFY(dialogs.Boxes().back().body.find("группу disk") != std::string::npos);
    }

    void closingEndsTheRunAndSaysTheProgramEnds() {
        Open();
        form->StartButton->click();
        QVERIFY(eng->Running());
        QSignalSpy closed(form.get(), &ui::QtForm1::closed);
        form->close();
        QVERIFY(!eng->Running());
        QCOMPARE(closed.count(), 1);  // the program entry ends the loop and lets error boxes go on it
    }

    void theDestructiveWriteQuestionNamesTheDevices() {
        Open();
        form->EditWIOsPerPortion->setText("1");
        dialogs.answerYes = false;
        form->StartButton->click();
        dialogs.answerYes = true;
        const auto box = dialogs.Boxes().back();
        QCOMPARE(box.kind, std::string("yesno"));
        QVERIFY(box.body.find("C:  /dev/fakec  0 MBytes") != std::string::npos);
        QVERIFY(box.body.find("E:  /dev/fakee  64 MBytes") != std::string::npos);
        QVERIFY(!eng->Running());
    }
};

constexpr const char* kLongCaption =
    "System error Cannot open /dev/disk/by-id/nvme-Samsung_SSD_980_PRO_2TB_S6B0NL0T123456-part1 for read";

// The worker's box on the real dialogs: shown without blocking the window thread; the worker waits.
class DialogTest : public QObject {
    Q_OBJECT
  private slots:
    void systemErrorFromAWorkerDoesNotBlockTheWindow() {
        ui::QtDialogs dialogs;
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            dialogs.SystemError(kLongCaption, "  Error Code = 13 Permission denied");
            returned = true;
        });
        QMessageBox* box = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((box = qobject_cast<QMessageBox*>([] {
                                      for (QWidget* w : QApplication::topLevelWidgets())
                                          if (w->objectName() == "SystemErrorBox" && w->isVisible()) return w;
                                      return static_cast<QWidget*>(nullptr);
                                  }())) != nullptr,
                                 5000);
        QCOMPARE(box->windowTitle(), QString(kLongCaption));
        // Wide enough for its caption, the only place that names the device, with room for the title bar's
        // buttons and a title font larger than the box's.
        QVERIFY(box->width() >= box->fontMetrics().horizontalAdvance(box->windowTitle()) + 100);
        QVERIFY(!box->isModal());
        QTest::qWait(50);
        QVERIFY(!returned.load());  // the worker waits for the answer
        box->button(QMessageBox::Cancel)->click();
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 5000);
        worker.join();
    }

    void endingTheProgramReleasesWaitingWorkers() {
        ui::QtDialogs dialogs;
        std::atomic<int> returned{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < 3; ++i)
            workers.emplace_back([&] {
                dialogs.SystemError("System error x", "y");
                ++returned;
            });
        QTRY_COMPARE_WITH_TIMEOUT(dialogs.OpenSystemErrorBoxes(), 3, 5000);
        QCoreApplication::processEvents();
        dialogs.CancelAll();
        QTRY_COMPARE_WITH_TIMEOUT(returned.load(), 3, 5000);
        for (auto& t : workers) t.join();
        dialogs.SystemError("late", "returns at once");
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        WindowTest t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        DialogTest t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}

#include "ui_test.moc"
