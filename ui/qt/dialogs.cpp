#include "ui/qt/dialogs.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QThread>
#include <algorithm>

namespace ui {

namespace {

// The caption is the only place that names the device, and a box is as wide as its body: widen it so the
// title bar can show the caption whole (the title font is the system's; the box font is near enough).
void FitCaption(QMessageBox& box) {
    const int needed = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 120;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(needed, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

QtDialogs::QtDialogs(QObject* parent) : QObject(parent) {
    connect(this, &QtDialogs::systemErrorRequested, this, &QtDialogs::ShowSystemErrorBox,
            Qt::QueuedConnection);
}

void QtDialogs::SystemError(const std::string& caption, const std::string& body) {
    const QString c = QString::fromStdString(caption), b = QString::fromStdString(body);
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
    }
    if (QThread::currentThread() == thread()) {
        QMessageBox box(QMessageBox::NoIcon, c, b, QMessageBox::Ok | QMessageBox::Cancel, owner_);
        FitCaption(box);
        box.exec();
        return;
    }
    std::unique_lock lock(mutex_);
    const quint64 ticket = nextTicket_++;
    open_.push_back(ticket);
    lock.unlock();
    emit systemErrorRequested(c, b, ticket);
    lock.lock();
    answered_.wait(
        lock, [&] { return cancelled_ || std::find(open_.begin(), open_.end(), ticket) == open_.end(); });
}

void QtDialogs::ShowSystemErrorBox(QString caption, QString body, quint64 ticket) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
    }
    // No owner: the window stays usable and several boxes may be open at once.
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, body, QMessageBox::Ok | QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->setObjectName("SystemErrorBox");
    FitCaption(*box);
    connect(box, &QMessageBox::finished, this, [this, ticket] { Answer(ticket); });
    connect(this, &QObject::destroyed, box, &QWidget::close);
    box->show();
}

void QtDialogs::Answer(quint64 ticket) {
    {
        std::lock_guard lock(mutex_);
        open_.erase(std::remove(open_.begin(), open_.end(), ticket), open_.end());
    }
    answered_.notify_all();
}

bool QtDialogs::AskYesNo(const std::string& caption, const std::string& body) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(body),
                    QMessageBox::Yes | QMessageBox::No, owner_);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::Inform(const std::string& caption, const std::string& body) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(body),
                    QMessageBox::Ok, owner_);
    box.exec();
}

void QtDialogs::CancelAll() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        open_.clear();
    }
    answered_.notify_all();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "SystemErrorBox") w->close();
}

int QtDialogs::OpenSystemErrorBoxes() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(open_.size());
}

}  // namespace ui
