#include "mainwindow.h"
#include "reportdialog.h"
#include "ui_mainwindow.h"

#include "collect/instrumentconfig.h"
#include "store/audit.h"
#include "store/sqlbackend.h"
#include "exportdialog.h"
#include "livereadingswindow.h"
#include "weighingwindow.h"
#include "checkswindow.h"
#include "settings.h"
#include "support/trace.h"
#include "viewpositionkeeper.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QJsonObject>
#include <QSettings>
#include <QStyledItemDelegate>

namespace {

// Rows that do not hold a line received since the tick before (the balance
// was silent or away) are drawn in the palette's disabled text colour.
class StaleRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(Veltrano::MeasurementModel::StaleRole).toBool())
            option->palette.setBrush(QPalette::Text, option->palette.brush(QPalette::Disabled, QPalette::Text));
    }
};

// The window's size and place, in the file of the windows' own choices.
constexpr char kGeometryKey[] = "window/geometry";

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    VTRACE;
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Veltrano"));
    // Where the operator left it; the form's size at the first start.
    restoreGeometry(QSettings(QLatin1String(ExportDialog::kUiSettingsFile), QSettings::IniFormat)
                        .value(QLatin1String(kGeometryKey))
                        .toByteArray());

    connect(ui->actionSettings, &QAction::triggered, this, &MainWindow::settings);
    ui->action_Quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(ui->action_Quit, &QAction::triggered, this, &MainWindow::exitFromApplication);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::about);
    connect(ui->actionAbout_Qt, &QAction::triggered, this, &MainWindow::aboutQt);
    connect(ui->uExport, &QPushButton::clicked, this, &MainWindow::exportData);
    connect(ui->actionExportData, &QAction::triggered, this, [this] {
        ExportDialog dialog(this);
        dialog.exec();
    });
    connect(ui->uClear, &QPushButton::clicked, this, &MainWindow::clearData);
    connect(ui->uStart, &QPushButton::clicked, this, &MainWindow::startToCollect);
    connect(ui->uStop, &QPushButton::clicked, this, &MainWindow::stopToCollect);
    connect(ui->uRead, &QPushButton::clicked, this, &MainWindow::storeImmediately);
    connect(ui->actionLiveReadings, &QAction::triggered, this, &MainWindow::showLiveReadings);
    connect(ui->actionWeighing, &QAction::triggered, this, &MainWindow::showWeighing);
    connect(ui->actionReport, &QAction::triggered, this, &MainWindow::makeReport);
    connect(ui->actionChecks, &QAction::triggered, this, &MainWindow::showChecks);
    connect(&session, &Veltrano::RecordingSession::problem, this, &MainWindow::tell);
    connect(&session, &Veltrano::RecordingSession::rowsWritten, this, &MainWindow::showNewRows);
    connect(&session, &Veltrano::RecordingSession::cleared, this, &MainWindow::cleared);

    // Rows a previous run could not write come in as the storage writes them.
    // A server that did not answer at start-up was told of then.
    const QSqlDatabase db = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    const QString publishing = session.setPublishing(QDir::currentPath());
    if (!publishing.isEmpty())
        tell(Veltrano::OperatorMessage::general(Veltrano::OperatorMessage::Kind::Publishing,
                                                QStringLiteral("publish.ini: %1; nothing is published").arg(publishing),
                                                publishing));
    session.openStorage(Veltrano::SqlBackend::isServer(db) && !db.isOpen());
    model.reload();
    othersRows.setInterval(2000);
    connect(&othersRows, &QTimer::timeout, &model, &Veltrano::MeasurementModel::refresh);
    othersRows.start();

    ui->uTableView->setModel(&model);
    setExportAudit([this](const QJsonObject &details) { session.audit(QLatin1String(Veltrano::Audit::kExported), details); });
    ui->uTableView->setItemDelegate(new StaleRowDelegate(ui->uTableView));
    // Rows stored while the user reads older ones do not move them.
    new Veltrano::ViewPositionKeeper(ui->uTableView);
    // Recorded measurements are evidence: they are never edited by hand.
    ui->uTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->uTableView->verticalHeader()->hide();
    // Refitting measures the rows on screen (and a few around them, up to a
    // tall screen's worth), never the whole table: the model holds every row
    // of the table, and a view not yet shown would measure all of them.
    ui->uTableView->horizontalHeader()->setResizeContentsPrecision(50);
    ui->uTableView->resizeColumnsToContents();
    ui->uTableView->hideColumn(Veltrano::MeasurementModel::Header);
    ui->uTableView->adjustSize();

    ui->uStop->setEnabled(false);
    ui->uRead->setEnabled(false);
}

MainWindow::~MainWindow()
{
    VTRACE;
    QSettings(QLatin1String(ExportDialog::kUiSettingsFile), QSettings::IniFormat)
        .setValue(QLatin1String(kGeometryKey), saveGeometry());
    // Quitting during a collection releases every port, timer and buffer;
    // the storage writes or keeps what it was handed when it goes.
    if (session.isRunning())
        stopToCollect();
    setExportAudit({});
    // The window shows the engine's states: it goes before they do.
    delete liveWindow;
    delete weighingWindow;
    delete checksWindow;
    delete ui;
}

// What the operator changed in the dialog goes to the audit trail, key by key.
void MainWindow::settings()
{
    VTRACE;
    const QString file = QString::fromLatin1(Veltrano::Config::kFileName);
    const QMap<QString, QString> before = Veltrano::RecordingSession::settingsKeys(file);
    {
        Settings dialog(nullptr);
        dialog.exec();
    }
    session.auditSettingsChange(before, Veltrano::RecordingSession::settingsKeys(file));
}

void MainWindow::about()
{
    VTRACE;
    QMessageBox::information(this, tr("Information"),
                             tr("Veltrano 2026\n"
                                "\n"
                                "E-mail: veltrano@example.org\n"
                                "Web: https://veltrano.example.org"));
}

void MainWindow::aboutQt()
{
    VTRACE;
    QApplication::aboutQt();
}

void MainWindow::showLiveReadings()
{
    VTRACE;
    if (!liveWindow)
        liveWindow = new LiveReadingsWindow(&session.states(), this);
    liveWindow->show();
    liveWindow->raise();
    liveWindow->activateWindow();
}

void MainWindow::showWeighing()
{
    VTRACE;
    if (!weighingWindow)
        weighingWindow = new WeighingWindow(&session, this);
    weighingWindow->show();
    weighingWindow->raise();
    weighingWindow->activateWindow();
}

void MainWindow::showChecks()
{
    VTRACE;
    if (!checksWindow)
        checksWindow = new ChecksWindow(&session, this);
    else
        checksWindow->refresh();
    checksWindow->show();
    checksWindow->raise();
    checksWindow->activateWindow();
}

void MainWindow::makeReport()
{
    VTRACE;
    ReportDialog dialog(this);
    dialog.exec();
}

void MainWindow::exitFromApplication()
{
    VTRACE;
    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!session.isRunning()) {
        QMainWindow::closeEvent(event);
        return;
    }
    // The question is shown and the window stays: nothing waits for the
    // answer, the collection least of all.
    event->ignore();
    if (quitQuestion) {
        quitQuestion->raise();
        quitQuestion->activateWindow();
        return;
    }
    quitQuestion = new QMessageBox(QMessageBox::Question, tr("Quit"),
                                   tr("A collection is running. Quitting stops it: the balances are not recorded "
                                      "until Veltrano is started again."),
                                   QMessageBox::NoButton, this);
    QPushButton *stop = quitQuestion->addButton(tr("Stop and quit"), QMessageBox::DestructiveRole);
    QPushButton *keep = quitQuestion->addButton(tr("Keep collecting"), QMessageBox::RejectRole);
    quitQuestion->setDefaultButton(keep);
    quitQuestion->setEscapeButton(keep);
    quitQuestion->setAttribute(Qt::WA_DeleteOnClose);
    quitQuestion->setWindowModality(Qt::WindowModal);
    connect(quitQuestion, &QMessageBox::buttonClicked, this, [this, stop](QAbstractButton *button) {
        if (button != stop)
            return;
        VTRACE << "stop and quit";
        stopToCollect();
        close();
    });
    quitQuestion->show();
}
