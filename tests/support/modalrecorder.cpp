#include "modalrecorder.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QProgressDialog>
#include <QPushButton>

ModalRecorder::ModalRecorder(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalRecorder::poll);
    m_timer.start(5);
}

QStringList ModalRecorder::collect(QString RecordedBox::*field) const
{
    QStringList result;
    for (const RecordedBox &box : m_boxes)
        result << box.*field;
    return result;
}

void ModalRecorder::poll()
{
    QWidget *widget = QApplication::activeModalWidget();
    // A progress dialog asks nothing: it closes when its work is done.
    if (!widget || !widget->isVisible() || m_handled.contains(widget) || qobject_cast<QProgressDialog *>(widget))
        return;
    m_handled.append(widget);
    RecordedBox record{QString::fromLatin1(widget->metaObject()->className()), widget->windowTitle(), {}, {}, {}};
    auto *box = qobject_cast<QMessageBox *>(widget);
    auto *dialog = qobject_cast<QDialog *>(widget);
    if (!box) {
        m_boxes.append(record);
        if (dialog && m_dialogHandler)
            m_dialogHandler(dialog);
        else if (dialog)
            dialog->reject();
        else
            widget->close();
        return;
    }
    record.className = QStringLiteral("QMessageBox");
    record.text = box->text();
    for (QAbstractButton *button : box->findChild<QDialogButtonBox *>()->buttons())
        record.buttons << button->text().remove(QLatin1Char('&'));
    QAbstractButton *choice = m_answers.isEmpty() ? nullptr : box->button(m_answers.takeFirst());
    if (!choice)
        choice = box->defaultButton() ? static_cast<QAbstractButton *>(box->defaultButton()) : box->escapeButton();
    if (!choice && !box->buttons().isEmpty())
        choice = box->buttons().constFirst();
    record.answer = choice ? choice->text().remove(QLatin1Char('&')) : QString();
    m_boxes.append(record);
    if (choice)
        choice->click();
    else
        box->reject();
}
