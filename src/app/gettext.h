#pragma once

#include <QDialog>

namespace Ui {
class GetText;
}

// Asks for one line of text. The caller sets the title and the label through
// `ui`, runs the prompt and reads `ui->uText` when it was accepted.
class GetText : public QDialog
{
    Q_OBJECT

public:
    explicit GetText(QWidget *parent = nullptr);
    ~GetText() override;

    Ui::GetText *ui;
};
