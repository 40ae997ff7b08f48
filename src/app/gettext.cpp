#include "gettext.h"
#include "ui_gettext.h"

#include "support/trace.h"

#include <QPushButton>

GetText::GetText(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::GetText)
{
    VTRACE;
    ui->setupUi(this);
    connect(ui->uCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->uAccept, &QPushButton::clicked, this, &QDialog::accept);
}

GetText::~GetText()
{
    VTRACE;
    delete ui;
}
