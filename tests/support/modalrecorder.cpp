#include "modalrecorder.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>

ModalRecorder::ModalRecorder(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &ModalRecorder::poll);
    m_timer.start();
}

void ModalRecorder::queueAnswer(QMessageBox::StandardButton button)
{
    m_answers.append(button);
}

void ModalRecorder::setDialogHandler(std::function<void(QDialog *)> handler)
{
    m_dialogHandler = std::move(handler);
}

QStringList ModalRecorder::titles() const
{
    QStringList result;
    for (const RecordedBox &box : m_boxes)
        result << box.title;
    return result;
}

QStringList ModalRecorder::texts() const
{
    QStringList result;
    for (const RecordedBox &box : m_boxes)
        result << box.text;
    return result;
}

void ModalRecorder::poll()
{
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget || !widget->isVisible())
        return;
    for (const QPointer<QWidget> &seen : qAsConst(m_handled)) {
        if (seen == widget)
            return;
    }
    m_handled.append(widget);

    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        handleBox(box);
        return;
    }
    RecordedBox record;
    record.className = QString::fromLatin1(widget->metaObject()->className());
    record.title = widget->windowTitle();
    m_boxes.append(record);
    auto *dialog = qobject_cast<QDialog *>(widget);
    if (dialog && m_dialogHandler)
        m_dialogHandler(dialog);
    else if (dialog)
        dialog->reject();
    else
        widget->close();
}

void ModalRecorder::handleBox(QMessageBox *box)
{
    RecordedBox record;
    record.className = QStringLiteral("QMessageBox");
    record.title = box->windowTitle();
    record.text = box->text();
    auto *buttonBox = box->findChild<QDialogButtonBox *>();
    const QList<QAbstractButton *> buttons = buttonBox ? buttonBox->buttons() : box->buttons();
    for (QAbstractButton *button : buttons)
        record.buttons << button->text().remove(QLatin1Char('&'));

    QAbstractButton *choice = nullptr;
    if (!m_answers.isEmpty())
        choice = box->button(m_answers.takeFirst());
    if (!choice)
        choice = box->defaultButton();
    if (!choice)
        choice = box->escapeButton();
    if (!choice && !box->buttons().isEmpty())
        choice = box->buttons().constFirst();
    if (choice)
        record.answer = choice->text().remove(QLatin1Char('&'));
    m_boxes.append(record);
    if (choice)
        choice->click();
    else
        box->reject();
}
