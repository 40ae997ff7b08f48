// Start-up on the database file, the main window's view and its closing,
// Start without instruments, and the message handler with the trace lines it
// writes to standard error or to the trace file.
#include "collectionprobe.h"
#include "pseudoterminal.h"
#include "startup.h"
#include "support/logfile.h"
#include "support/logformat.h"
#include "support/trace.h"
#include "windowtestcase.h"

#include <QDir>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTableView>

using Veltrano::Trace;

class TestMainWindow : public WindowTestCase
{
    Q_OBJECT
private slots:
    void startUp_data()
    {
        QTest::addColumn<QStringList>("statements");  // run on the file first; "garbage" / "directory" put those in its place
        QTest::addColumn<int>("status");              // -1: start-up goes on
        QTest::addColumn<QString>("box");             // "title|text"; empty: none
        QTest::addColumn<QStringList>("contents");    // the tables' statements, then the rows
        QTest::addColumn<QByteArray>("reason");       // on standard error; empty: nothing written
        const QString table = QStringLiteral("CREATE TABLE data(sampling_date date, sampling_time time, instrument_id "
                                             "varchar, header varchar, result varchar, unit varchar)");
        const QString info = QStringLiteral("Information|Database initialization: OK");
        const QString error = QStringLiteral("Error|Cannot open the database! (SQLITE error) Exiting...");
        const QString other = QStringLiteral("CREATE TABLE other(x)");
        QTest::newRow("first start") << QStringList() << -1 << info << QStringList{table} << QByteArray();
        QTest::newRow("rows kept") << QStringList{table, "INSERT INTO data VALUES('2014-06-30','14:05:09','B1','','+1','g')"}
                                   << -1 << QString() << QStringList{table, "2014-06-30|14:05:09|B1||+1|g"} << QByteArray();
        QTest::newRow("other tables only") << QStringList{other} << -1 << info << QStringList{table, other} << QByteArray();
        // The sort index only makes the view faster: without it start-up goes on.
        QTest::newRow("index name taken") << QStringList{table, "CREATE TABLE data_sampling_order(x)"} << -1 << QString()
                                          << QStringList{table, "CREATE TABLE data_sampling_order(x)"}
                                          << QByteArray("sort index not created, the view will be slower: ");
        QTest::newRow("not a database") << QStringList{"garbage"} << 1 << error << QStringList()
                                        << QByteArray("file is not a database");
        QTest::newRow("unopenable path") << QStringList{"directory"} << 1 << error << QStringList()
                                         << QByteArray("unable to open database file");
    }

    void startUp()
    {
        QFETCH(QStringList, statements);
        QFETCH(int, status);
        QFETCH(QString, box);
        QFETCH(QStringList, contents);
        QFETCH(QByteArray, reason);
        closeTestDatabase();
        TempWorkDir dir;
        const QByteArray garbage(4096, 'x');
        if (statements == QStringList{"garbage"})
            QVERIFY(writeFile("sqlite.db", garbage));
        else
            QVERIFY(statements == QStringList{"directory"} ? QDir().mkdir("sqlite.db") : prepareDatabaseFile(statements));
        StderrCapture capture;
        {
            QCOMPARE(Startup::openDatabase(), status);
            QStringList found;
            // The side tables of the rows' provenance come too (see Chain).
            for (QSqlQuery query(status < 0 ? "SELECT sql FROM sqlite_master WHERE type='table' AND name NOT IN "
                                              "('provenance', 'audit', 'weighing', 'sqlite_sequence') ORDER BY name" : "");
                 query.next();)
                found << query.value(0).toString();
            QCOMPARE(found + (status < 0 ? allTestRows() : QStringList()), contents);
        }
        QCOMPARE(m_boxes->count() ? m_boxes->titles().first() + '|' + m_boxes->texts().first() : QString(), box);
        QCOMPARE(m_boxes->count(), int(!box.isEmpty()));
        // The driver's reason reaches standard error, and a foreign file is left alone.
        const QByteArray written = capture.take();
        QVERIFY2(reason.isEmpty() ? written.isEmpty() : written.contains(reason), written.constData());
        if (statements == QStringList{"garbage"})
            QCOMPARE(readFile("sqlite.db"), garbage);
        closeTestDatabase();
    }

    // The columns, and the newest rows first by date, then time. The view offers
    // no edit, and an edit tried anyway reaches neither of two identical rows.
    void view()
    {
        const QList<QStringList> rows{{"2026-12-05", "23:00:00", "B1", "", "+1", "g"}, {"2026-12-06", "08:00:00", "B1", "", "+2", "g"},
                                      {"2026-12-06", "07:59:59", "B1", "", "+3", "g"}, {"2025-12-31", "23:59:59", "B1", "", "+4", "g"},
                                      {"2026-12-06", "08:00:00", "B1", "", "+2", "g"}};
        QVERIFY(insertTestRows(rows));
        MainWindow window;
        auto *view = child<QTableView>(&window, "uTableView");
        QAbstractItemModel *model = view->model();
        QStringList shown, stored;
        for (int column = 0; column < model->columnCount(); ++column)
            shown << model->headerData(column, Qt::Horizontal).toString();
        for (int row = 0; row < model->rowCount(); ++row)
            shown << model->index(row, 4).data().toString();
        QCOMPARE(shown, QStringList({"Date", "Time", "Instrument id", "Header id.", "Result", "Unit", "+2", "+2", "+3", "+1", "+4"}));
        const QModelIndex cell = model->index(0, 4);  // one of the two identical rows
        QVERIFY(!(model->flags(cell) & Qt::ItemIsEditable) && view->editTriggers() == QAbstractItemView::NoEditTriggers);
        QVERIFY(!model->setData(cell, QStringLiteral("+9")));
        for (const QStringList &row : rows)
            stored << row.join('|');
        QCOMPARE(allTestRows(), stored);
        // The menus: the defined entries in their order, this program's own beside them.
        QStringList menus;
        for (QAction *menu : window.menuBar()->actions())
            for (QAction *action : QList<QAction *>{menu} + menu->menu()->actions())
                menus << action->text();
        QCOMPARE(menus, QStringList({"&File", "&Settings", "&Quit", "&Data", "&Export...", "&Live readings", "&Weighing", "&Report...", "&Balances and checks", "&Help",
                                     "&About", "About Qt"}));
    }

    // This program's warnings are shown in a box and written as they are, but
    // for those demoted to debug traces; Qt's own are written only.
    void handler_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("category");  // empty: none
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("shown");
        const auto row = [](const char *name, const QByteArray &category, bool shown, const char *message,
                            QtMsgType type = QtWarningMsg) {
            QTest::newRow(name) << QString::fromUtf8(message) << category << int(type) << shown;
        };
        const QByteArray own(Trace::kCategory);
        row("warning", own, true, "disk full: Mérleg");
        row("critical", own, true, "cannot remove the file", QtCriticalMsg);
        row("parity", own, false, "x QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings y");
        row("flow control", "default", false, "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings");
        row("export connection", "default", false,
            "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, all queries will cease to work.");
        row("other letter case", own, true, "qserialportprivate::detectdefaultsettings(): unexpected parity settings");
        row("X server", "qt.qpa.xcb", false, "QXcbConnection: XCB error: 3 (BadWindow), sequence: 1042, resource id: 4194309");
        row("Qt's critical", "qt.text.font", false, "QFont::setPointSizeF: Point size <= 0 (0.000000)", QtCriticalMsg);
        row("no category", {}, false, "QIODevice::read: device not open");
    }

    void handler()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, category);
        QFETCH(int, type);
        QFETCH(bool, shown);
        StderrCapture capture;
        const QMessageLogContext context(nullptr, 0, nullptr, category.isEmpty() ? nullptr : category.constData());
        msgHandler(QtMsgType(type), context, message);
        const QByteArray written = capture.take(), text = message.toUtf8();
        const bool demoted = Veltrano::Log::isDemotedWarning(message);
        const QByteArray prefix = type == QtWarningMsg ? "Warning: " : "Critical: ";
        QVERIFY2(!demoted ? written == prefix + text + '\n' : written.startsWith("Debug: ") && written.endsWith(" \"" + text + "\"\n"),
                 written.constData());
        QTRY_COMPARE(m_boxes->texts(), shown ? QStringList{message} : QStringList());
        // Lines of this program carry its category, so their boxes stay.
        m_boxes->clear();
        if (category == Trace::kCategory && !demoted) {
            Trace::emitLine(QtMsgType(type), message);
            QTRY_COMPARE(m_boxes->texts(), QStringList{message});
        }
    }

    // The trace file of a desktop start: lines written whole, never past the
    // cap; the oldest of the kept files goes.
    void traceFile_data()
    {
        QTest::addColumn<QByteArray>("before");  // veltrano.log already holds
        QTest::addColumn<int>("maxBytes");
        QTest::addColumn<int>("kept");
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<QByteArrayList>("files");  // veltrano.log, .1, .2, .3: what each holds ("-": no file)
        const auto row = [](const char *name, int maxBytes, int kept, const QByteArrayList &lines,
                            const QByteArrayList &files, const QByteArray &before = {}) {
            QTest::newRow(name) << before << maxBytes << kept << lines << files;
        };
        row("under the cap", 10, 2, {"a\n", "b\n"}, {"a\nb\n", "-", "-", "-"});
        row("up to the cap exactly", 4, 2, {"a\n", "b\n"}, {"a\nb\n", "-", "-", "-"});
        row("one past", 4, 2, {"a\n", "b\n", "c\n"}, {"c\n", "a\nb\n", "-", "-"});
        row("oldest goes", 2, 2, {"a\n", "b\n", "c\n", "d\n"}, {"d\n", "c\n", "b\n", "-"});
        row("none kept", 2, 0, {"a\n", "b\n"}, {"b\n", "-", "-", "-"});
        row("a line longer than the cap", 3, 2, {"a\n", "long line\n", "b\n"}, {"b\n", "long line\n", "a\n", "-"});
        row("the file of the last run counts", 6, 2, {"a\n", "b\n"}, {"b\n", "old\na\n", "-", "-"}, "old\n");
    }

    void traceFile()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, maxBytes);
        QFETCH(int, kept);
        QFETCH(QByteArrayList, lines);
        const QString path = QStringLiteral("state/veltrano/veltrano.log");
        QVERIFY(before.isEmpty() || (QDir().mkpath("state/veltrano") && writeFile(path, before)));
        {
            Veltrano::Log::TraceFile file;
            QString error;
            QVERIFY2(file.open(path, &error, maxBytes, kept), qPrintable(error));
            for (const QByteArray &line : lines)
                QVERIFY(file.write(line));
        }
        QByteArrayList found;
        for (const QString &name : {path, path + ".1", path + ".2", path + ".3"})
            found << (QFile::exists(name) ? readFile(name) : QByteArray("-"));
        QTEST(found, "files");
    }

    // The user's state folder, as the XDG rules read the variable.
    void stateFolder_data()
    {
        QTest::addColumn<QByteArray>("variable");  // "unset": none
        QTest::addColumn<QString>("folder");
        const QString home = QDir::homePath() + "/.local/state/veltrano";
        QTest::newRow("set") << QByteArray("/srv/state") << "/srv/state/veltrano";
        QTest::newRow("unset") << QByteArray("unset") << home;
        QTest::newRow("empty") << QByteArray("") << home;
        QTest::newRow("relative: ignored") << QByteArray("state") << home;
    }

    void stateFolder()
    {
        QFETCH(QByteArray, variable);
        const auto set = [](bool on, const QByteArray &value) { return on ? qputenv("XDG_STATE_HOME", value) : qunsetenv("XDG_STATE_HOME"); };
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        const bool wasSet = qEnvironmentVariableIsSet("XDG_STATE_HOME");
        set(variable != "unset", variable);
        const QString folder = Veltrano::Log::stateFolder();
        set(wasSet, saved);
        QTEST(folder, "folder");
    }

    // Closing while a collection runs asks, and the collection goes on while
    // nobody answers; without one the window closes at once.
    void closing_data()
    {
        QTest::addColumn<bool>("collecting");
        QTest::addColumn<QString>("how");     // "close" (the title bar) or "quit" (File > Quit, Ctrl+Q)
        QTest::addColumn<QString>("answer");  // the button pressed; empty: nobody answers
        QTest::addColumn<bool>("closed");
        QTest::newRow("idle: close") << false << "close" << QString() << true;
        QTest::newRow("idle: quit") << false << "quit" << QString() << true;
        QTest::newRow("collecting: nobody answers") << true << "close" << QString() << false;
        QTest::newRow("collecting: stop and quit") << true << "close" << "Stop and quit" << true;
        QTest::newRow("collecting: quit, keep collecting") << true << "quit" << "Keep collecting" << false;
        QTest::newRow("collecting: quit, stop and quit") << true << "quit" << "Stop and quit" << true;
    }

    void closing()
    {
        QFETCH(bool, collecting);
        QFETCH(QString, how);
        QFETCH(QString, answer);
        QFETCH(bool, closed);
        Veltrano::Sim::PseudoTerminal line;
        QVERIFY(line.open());
        writeSettings(balanceOn("P", line.devicePath(), {"name=Balance P"}));
        MainWindow window;
        MainWindowProbe probe(window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (collecting)
            window.startToCollect();
        QCOMPARE(probe.session().isRunning(), collecting);
        // Nobody is there: the question waits, the window stays, nothing else does.
        m_boxes.reset();
        auto *quit = child<QAction>(&window, "action_Quit");
        QCOMPARE(quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        if (how == "quit")
            quit->trigger();
        else
            window.close();
        QMessageBox *question = window.findChild<QMessageBox *>();
        QCOMPARE(window.isVisible(), collecting);
        QCOMPARE(question != nullptr, collecting);
        if (question) {
            QVERIFY(question->isVisible() && question->windowModality() == Qt::WindowModal);
            QStringList buttons;
            for (QAbstractButton *button : question->buttons())
                buttons << button->text();
            buttons.sort();
            QCOMPARE(buttons, QStringList({"Keep collecting", "Stop and quit"}));
            // Asked twice, one question.
            window.close();
            QCOMPARE(window.findChildren<QMessageBox *>().size(), 1);
            QSignalSpy rows(&probe.session(), &Veltrano::RecordingSession::sampled);
            QVERIFY(rows.wait(10000));
            for (QAbstractButton *button : question->buttons())
                if (button->text() == answer)  // none when nobody answers
                    button->click();
        }
        QTRY_COMPARE(window.isVisible(), !closed);
        QCOMPARE(probe.session().isRunning(), collecting && !closed);
        m_boxes = std::make_unique<ModalRecorder>();
    }

    // Start with no active instrument tells so once and starts nothing; the
    // notice blocks no window.
    void startWithNothingToDo_data()
    {
        QTest::addColumn<QStringList>("settings");
        QTest::newRow("no settings.ini") << QStringList();
        QTest::newRow("only inactive instruments") << QStringList{"A/active=false", "A/name=A", "B/active=false"};
    }

    void startWithNothingToDo()
    {
        QFETCH(QStringList, settings);
        if (!settings.isEmpty())
            writeSettings(settings);
        MainWindow window;
        MainWindowProbe probe(window);
        window.show();
        m_boxes.reset();
        auto *start = child<QPushButton>(&window, "uStart");
        start->click();
        start->click();
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        const QList<QMessageBox *> notices = window.findChildren<QMessageBox *>();
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices.first()->isVisible() && notices.first()->windowModality() == Qt::NonModal);
        QVERIFY(notices.first()->text().startsWith("No instrument is active in settings.ini: there is nothing to collect."));
        QVERIFY(!probe.session().isRunning() && start->isEnabled());
        QCOMPARE(Startup::boxesWaiting(), 1);
        // Answered, it goes; the next Start tells again.
        m_boxes = std::make_unique<ModalRecorder>();
        QTRY_COMPARE(Startup::boxesWaiting(), 0);
        start->click();
        QTRY_COMPARE(m_boxes->count(), 2);
        QCOMPARE(m_boxes->boxes().last().modality, Qt::NonModal);
    }

    // Texts go out unescaped in UTF-8, bytes whole (a zero byte too) unless clipped.
    void trace()
    {
        StderrCapture capture;
        Trace() << "a" << QString::fromUtf8("x\ny\\z'\xc3\xa9") << 42 << QByteArray("+ 1\r\n\0b", 7);
        Trace() << Trace::clipped("abc", 3) << Trace::clipped("abcdef", 3);
        VTRACE << "label";
        QCOMPARE(capture.take(), QByteArray("Debug: a \"x\ny\\z'\xc3\xa9\" 42 \"+ 1\r\n\0b\"\n", 33)
                                     + "Debug: \"abc\" \"abc...(6 bytes)\"\nDebug: tests/tst_mainwindow.cpp ( "
                                     + QByteArray::number(__LINE__ - 3) + " ) void TestMainWindow::trace() label\n");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
