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
    if (!widget) {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            auto *notice = qobject_cast<QMessageBox *>(window);
            if (notice && notice->isVisible() && !notice->isModal() && !m_handled.contains(notice)) {
                m_handled.append(notice);
                answer(notice, {QStringLiteral("QMessageBox"), notice->windowTitle(), {}, {}, {}, notice->windowModality()});
                return;
            }
        }
        return;
    }
    // A progress dialog asks nothing: it closes when its work is done.
    if (!widget->isVisible() || m_handled.contains(widget) || qobject_cast<QProgressDialog *>(widget))
        return;
    m_handled.append(widget);
    RecordedBox record{QString::fromLatin1(widget->metaObject()->className()), widget->windowTitle(), {}, {}, {},
                       widget->windowModality()};
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
    answer(box, record);
}

void ModalRecorder::answer(QMessageBox *box, RecordedBox record)
{
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
