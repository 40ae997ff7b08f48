// The pieces of collection and diagnostics that need no window: print-line
// parsing, serial error texts and their once-per-port filter, and the
// message handler with the trace lines it writes.
#include "modalrecorder.h"
#include "printline.h"
#include "serialerrors.h"
#include "startup.h"
#include "stderrcapture.h"
#include "trace.h"

#include <QLoggingCategory>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

using namespace Veltrano;
using Traced = std::function<void()>;
Q_DECLARE_METATYPE(Traced)

class TestCore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installTestMessageHandler(); }
    void parse_data();
    void parse();
    void serialErrors_data();
    void serialErrors();
    void handlerOutput_data();
    void handlerOutput();
    void traceItems_data();
    void traceItems();
    void unwritableStderr();
};

void TestCore::parse_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("parsed");  // "header|result|unit" of a reading, else the kind

    QTest::newRow("16: inner spaces") << QByteArray("- 1 2. 3 4 kg \r\n") << "|-12.34|kg ";
    QTest::newRow("16: ERR") << QByteArray("   ERR 54      \n") << "error";
    QTest::newRow("16: Err") << QByteArray("   Err 54  g  \r\n") << "error";
    QTest::newRow("16: err is a value") << QByteArray("   err 54  g  \r\n") << "|err54|g  ";
    QTest::newRow("16: zero byte ends a field") << QByteArray("+   1\0" "2.34 g\0 \r\n", 16) << "|+1|g";
    QTest::newRow("22: reading") << QByteArray("N     +    12.34 g  \r\n") << "N     |+12.34|g  ";
    QTest::newRow("22: Stat") << QByteArray("Stat      Busy      \r\n") << "status";
    QTest::newRow("22: Stat at the start only") << QByteArray(" Stat     Busy      \r\n") << " Stat |Busy|   ";
    QTest::newRow("22: no error test") << QByteArray("N        Err 54  g  \r\n") << "N     |Err54|g  ";
    for (int length : {15, 17, 21, 23})
        QTest::addRow("%d bytes", length) << QByteArray(length - 1, '1') + '\n' << "wrong length";
}

void TestCore::parse()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, parsed);
    const PrintLine::Parsed read = PrintLine::parse(line);
    const char *kinds[] = {"", "error", "status", "wrong length"};
    QCOMPARE(read.kind == PrintLine::Kind::Reading ? read.header + '|' + read.result + '|' + read.unit
                                                   : kinds[int(read.kind)],
             parsed);
    QVERIFY(read.kind != PrintLine::Kind::Reading || !read.header.isNull());  // stored as empty text, not NULL
}

void TestCore::serialErrors_data()
{
    // Events "port:code", "run" starts a new collection; verdicts "r" (report)
    // or "q" (log only), "+close" when the port is to be closed.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("verdicts");
    QTest::addColumn<QString>("text");  // of the first code; empty: logged, never shown
    QTest::newRow("hang-up storm, ports apart, next run") << QStringList{"A:8", "a:8", "A:8", "A:8", "run", "A:8"}
                                                          << "r r q+close q r" << "An I/O error occurred while reading the data.";
    QTest::newRow("resource error closes at once") << QStringList{"A:9", "A:9", "A:8"} << "r+close q r"
                                                   << "An I/O error occurred when a resource becomes unavailable, e.g. "
                                                      "when the device is unexpectedly removed from the system.";
    QTest::newRow("unknown: logged only") << QStringList{"A:11"} << "r" << "";
    QTest::newRow("no text of its own") << QStringList{"A:13"} << "r" << "internal unknown error";
}

void TestCore::serialErrors()
{
    QFETCH(QStringList, events);
    QFETCH(QString, verdicts);
    QFETCH(QString, text);
    const SerialErrors::Description first = SerialErrors::describe(events.first().section(':', 1).toInt());
    QCOMPARE(first.critical ? QString::fromLatin1(first.text) : QString(), text);
    SerialErrors::RepeatFilter filter;
    QStringList seen;
    for (const QString &event : events) {
        if (event == "run") {
            filter.clear();
            continue;
        }
        const auto verdict = filter.record(event.section(':', 0, 0), event.section(':', 1).toInt());
        seen << QString(verdict.firstTime ? "r" : "q") + (verdict.closePort ? "+close" : "");
    }
    QCOMPARE(seen.join(' '), verdicts);
}

void TestCore::handlerOutput_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");   // on standard error; "*": a warning demoted to a debug trace
    QTest::addColumn<QString>("boxTitle");  // empty: no box

    QTest::newRow("debug") << int(QtDebugMsg) << "a\nb" << QByteArray("Debug: a\nb\n") << QString();
    QTest::newRow("warning") << int(QtWarningMsg) << "disk full" << QByteArray("Warning: disk full\n") << "Warning";
    QTest::newRow("critical in UTF-8") << int(QtCriticalMsg) << QString::fromUtf8("Mérleg µg")
                                       << QByteArray("Critical: M\xc3\xa9rleg \xc2\xb5g\n") << "Critical";
    QTest::newRow("demoted parity, inside a longer text")
        << int(QtWarningMsg) << "x QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings y"
        << QByteArray("*") << QString();
    QTest::newRow("demoted flow control")
        << int(QtWarningMsg) << "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings"
        << QByteArray("*") << QString();
    QTest::newRow("demoted export removal")
        << int(QtWarningMsg)
        << "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, all queries will cease to work."
        << QByteArray("*") << QString();
    QTest::newRow("known text in other letter case")
        << int(QtWarningMsg) << "qserialportprivate::detectdefaultsettings(): unexpected parity settings"
        << QByteArray("Warning: qserialportprivate::detectdefaultsettings(): unexpected parity settings\n") << "Warning";
}

void TestCore::handlerOutput()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);
    QFETCH(QString, boxTitle);
    ModalRecorder recorder;
    StderrCapture capture;
    msgHandler(QtMsgType(type), QMessageLogContext(), message);
    const QByteArray written = capture.take();
    if (line == "*")  // file and line lead, then the function's signature and the text
        QVERIFY2(written.startsWith("Debug: src/app/startup.cpp ( ")
                     && written.endsWith(") void msgHandler(QtMsgType, const QMessageLogContext&, const QString&) \""
                                         + message.toUtf8() + "\"\n"),
                 written.constData());
    else
        QCOMPARE(written, line);
    QCOMPARE(recorder.titles(), boxTitle.isEmpty() ? QStringList() : QStringList{boxTitle});
    QCOMPARE(recorder.texts(), boxTitle.isEmpty() ? QStringList() : QStringList{message});
}

void TestCore::traceItems_data()
{
    QTest::addColumn<Traced>("trace");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("unescaped UTF-8 text") << Traced([] { Trace() << "a" << QString::fromUtf8("x\ny\\z'\xc3\xa9") << 42; })
                                          << QByteArray("Debug: a \"x\ny\\z'\xc3\xa9\" 42\n");
    QTest::newRow("bytes, a zero byte inside") << Traced([] { Trace() << QByteArray("+ 1\r\n\0b", 7); })
                                               << QByteArray("Debug: \"+ 1\r\n\0b\"\n", 17);
    QTest::newRow("clipped bytes") << Traced([] { Trace() << Trace::clipped("abc", 3) << Trace::clipped("abcdef", 3); })
                                   << QByteArray("Debug: \"abc\" \"abc...(6 bytes)\"\n");
}

void TestCore::traceItems()
{
    QFETCH(Traced, trace);
    QFETCH(QByteArray, expected);
    StderrCapture capture;
    trace();
    QCOMPARE(capture.take(), expected);
    VTRACE << "label";
    QCOMPARE(capture.take(), "Debug: tests/tst_core.cpp ( " + QByteArray::number(__LINE__ - 1)
                                 + " ) void TestCore::traceItems() label\n");
}

// Standard error that cannot be written, as in a windowed program without a
// console: debug traces are no longer built, failures are still shown.
void TestCore::unwritableStderr()
{
    ModalRecorder recorder;
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO), readOnly = ::open("/dev/null", O_RDONLY);
    ::dup2(readOnly, STDERR_FILENO);
    msgHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("first"));
    const bool debugOn = QLoggingCategory::defaultCategory()->isDebugEnabled();
    msgHandler(QtCriticalMsg, QMessageLogContext(), QStringLiteral("store failed"));
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(readOnly);
    std::clearerr(stderr);
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, true);
    QVERIFY(!debugOn);
    QCOMPARE(recorder.texts(), QStringList{"store failed"});
}

QTEST_MAIN(TestCore)
#include "tst_core.moc"
