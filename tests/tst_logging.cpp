#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "trace.h"

#include <QLoggingCategory>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard error that cannot be written (as in a windowed program started
// without a console) for the lifetime of the object.
class UnwritableStderr
{
public:
    UnwritableStderr()
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int readOnly = ::open("/dev/null", O_RDONLY);
        ::dup2(readOnly, STDERR_FILENO);
        ::close(readOnly);
    }
    ~UnwritableStderr()
    {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        std::clearerr(stderr);
    }

private:
    int m_saved;
};

} // namespace

using Trace = Veltrano::Trace;
using Traced = std::function<void()>;
Q_DECLARE_METATYPE(Traced)

class TestLogging : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installTestMessageHandler(); }
    void handlerOutput_data();
    void handlerOutput();
    void traceItems_data();
    void traceItems();
    void traceSignature();
    void unreadableStderr_data();
    void unreadableStderr();
};

void TestLogging::handlerOutput_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");   // expected on stderr; "*": a warning demoted to a debug trace
    QTest::addColumn<QString>("boxTitle");  // empty: no box

    QTest::newRow("debug") << int(QtDebugMsg) << "a\nb" << QByteArray("Debug: a\nb\n") << QString();
    QTest::newRow("warning") << int(QtWarningMsg) << "disk almost full" << QByteArray("Warning: disk almost full\n")
                             << "Warning";
    QTest::newRow("critical in UTF-8") << int(QtCriticalMsg) << QString::fromUtf8("Mérleg µg – Beállítások")
                                       << QByteArray("Critical: M\xc3\xa9rleg \xc2\xb5g \xe2\x80\x93 Be\xc3\xa1ll\xc3\xadt\xc3\xa1sok\n")
                                       << "Critical";
    QTest::newRow("demoted parity, inside a longer text")
        << int(QtWarningMsg) << "before QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings after"
        << QByteArray("*") << QString();
    QTest::newRow("demoted flow control")
        << int(QtWarningMsg) << "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings"
        << QByteArray("*") << QString();
    QTest::newRow("demoted export removal")
        << int(QtWarningMsg)
        << "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, all queries will cease to work."
        << QByteArray("*") << QString();
    QTest::newRow("known text in other letter case: shown")
        << int(QtWarningMsg) << "qserialportprivate::detectdefaultsettings(): unexpected parity settings"
        << QByteArray("Warning: qserialportprivate::detectdefaultsettings(): unexpected parity settings\n") << "Warning";
}

void TestLogging::handlerOutput()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);
    QFETCH(QString, boxTitle);

    ModalRecorder recorder;
    StderrCapture capture;
    msgHandler(QtMsgType(type), QMessageLogContext(), message);
    const QByteArray written = capture.take();
    if (line == "*") {
        QVERIFY2(written.startsWith("Debug: ") && written.count('\n') == 1
                     && written.endsWith(") void msgHandler(QtMsgType, const QMessageLogContext&, const QString&) \""
                                         + message.toUtf8() + "\"\n"),
                 written.constData());
    } else {
        QCOMPARE(written, line);
    }
    QCOMPARE(recorder.titles(), boxTitle.isEmpty() ? QStringList() : QStringList{boxTitle});
    if (!boxTitle.isEmpty()) {
        QCOMPARE(recorder.texts(), QStringList{message});
        QCOMPARE(recorder.boxes().first().buttons, QStringList{"OK"});
    }
}

void TestLogging::traceItems_data()
{
    QTest::addColumn<Traced>("trace");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("literal and text") << Traced([] { Trace() << "index=" << QStringLiteral("it's"); })
                                      << QByteArray("Debug: index= \"it's\"\n");
    QTest::newRow("unescaped UTF-8 text") << Traced([] { Trace() << "a" << QString::fromUtf8("x\ny\\z\xc3\xa9") << 42; })
                                          << QByteArray("Debug: a \"x\ny\\z\xc3\xa9\" 42\n");
    QTest::newRow("bytes, a zero byte inside") << Traced([] { Trace() << QByteArray("+ 1\r\n\0b", 7); })
                                               << QByteArray("Debug: \"+ 1\r\n\0b\"\n", 17);
    QTest::newRow("critical") << Traced([] { Trace(QtCriticalMsg) << "cannot set data bits"; })
                              << QByteArray("Critical: cannot set data bits\n");
    QTest::newRow("clipped bytes") << Traced([] { Trace() << Trace::clipped("abc", 3) << Trace::clipped("abcdef", 3); })
                                   << QByteArray("Debug: \"abc\" \"abc...(6 bytes)\"\n");
}

void TestLogging::traceItems()
{
    QFETCH(Traced, trace);
    QFETCH(QByteArray, expected);
    ModalRecorder recorder;
    StderrCapture capture;
    trace();
    QCOMPARE(capture.take(), expected);
}

void TestLogging::traceSignature()
{
    StderrCapture capture;
    VTRACE << "label" << QStringLiteral("value");
    QCOMPARE(capture.take(), "Debug: tests/tst_logging.cpp ( " + QByteArray::number(__LINE__ - 1)
                                 + " ) void TestLogging::traceSignature() label \"value\"\n");
}

void TestLogging::unreadableStderr_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("written") << true;
    QTest::newRow("cannot be written") << false;
}

void TestLogging::unreadableStderr()
{
    QFETCH(bool, writable);
    QLoggingCategory *category = QLoggingCategory::defaultCategory();
    ModalRecorder recorder;
    {
        std::unique_ptr<StderrCapture> capture;
        std::unique_ptr<UnwritableStderr> closed;
        if (writable)
            capture = std::make_unique<StderrCapture>();
        else
            closed = std::make_unique<UnwritableStderr>();
        QMessageLogContext context;
        msgHandler(QtDebugMsg, context, QStringLiteral("first"));
        // Debug traces stop being built once nobody can read them; failures are still shown.
        QCOMPARE(category->isDebugEnabled(), writable);
        msgHandler(QtCriticalMsg, context, QStringLiteral("store failed"));
        if (capture)
            QCOMPARE(capture->take(), QByteArray("Debug: first\nCritical: store failed\n"));
    }
    category->setEnabled(QtDebugMsg, true);
    QCOMPARE(recorder.titles(), QStringList{"Critical"});
}

QTEST_MAIN(TestLogging)
#include "tst_logging.moc"
