#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

// One modal window the recorder met.
struct RecordedBox
{
    QString className;    // "QMessageBox", "Settings", "QFileDialog", ...
    QString title;
    QString text;         // a message box's text; empty for other dialogs
    QStringList buttons;  // a message box's button texts, in layout order
    QString answer;       // the button pressed, if any
    Qt::WindowModality modality = Qt::ApplicationModal;  // a notice's box blocks nothing
};

// Watches QApplication::activeModalWidget() while it lives, so that code
// opening boxes in nested event loops can run in a test: message boxes are
// recorded and answered (the next queued answer, else the default button,
// else the escape button), other dialogs go to the handler or are rejected.
// Message boxes that block no window (notices) are recorded and answered
// the same way.
class ModalRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ModalRecorder(QObject *parent = nullptr);

    void queueAnswer(QMessageBox::StandardButton button) { m_answers.append(button); }
    // Called with each modal dialog that is not a message box; it should finish the dialog.
    void setDialogHandler(std::function<void(QDialog *)> handler) { m_dialogHandler = std::move(handler); }

    const QList<RecordedBox> &boxes() const { return m_boxes; }
    QStringList titles() const { return collect(&RecordedBox::title); }
    QStringList texts() const { return collect(&RecordedBox::text); }
    int count() const { return m_boxes.size(); }
    void clear() { m_boxes.clear(); }

private:
    void poll();
    void answer(QMessageBox *box, RecordedBox record);
    QStringList collect(QString RecordedBox::*field) const;

    QTimer m_timer;
    QList<QMessageBox::StandardButton> m_answers;
    std::function<void(QDialog *)> m_dialogHandler;
    QList<RecordedBox> m_boxes;
    QList<QPointer<QWidget>> m_handled;
};
