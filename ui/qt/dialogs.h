#pragma once
// The engine's message boxes as Qt boxes. A worker's system-error box never blocks the window thread:
// it is shown without owner on the window thread while the worker waits for its answer.
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <condition_variable>
#include <mutex>

#include "ui/boxes.h"

namespace ui {

class QtDialogs : public QObject, public IWindowDialogs {
    Q_OBJECT
  public:
    explicit QtDialogs(QObject* parent = nullptr);
    // Boxes asked from the window thread are owned by this window (modal to it).
    void SetOwner(QWidget* owner) { owner_ = owner; }

    void SystemError(const std::string& caption, const std::string& body) override;
    bool AskYesNo(const std::string& caption, const std::string& body) override;
    void Inform(const std::string& caption, const std::string& body) override;

    // The program is ending: closes every open system-error box and lets its worker go; later calls
    // return at once. Window thread only.
    void CancelAll();
    int OpenSystemErrorBoxes() const;

  signals:
    void systemErrorRequested(QString caption, QString body, quint64 ticket);

  private slots:
    void ShowSystemErrorBox(QString caption, QString body, quint64 ticket);

  private:
    void Answer(quint64 ticket);

    QPointer<QWidget> owner_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    quint64 nextTicket_ = 1;
    std::vector<quint64> open_;  // tickets whose workers still wait
    bool cancelled_ = false;
};

}  // namespace ui
