#include "modalrecorder.h"
#include "startup.h"
#include "stderrcapture.h"
#include "trace.h"

#include <QLoggingCategory>
#include <QSerialPort>
#include <QtTest>

#include <cstdio>
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

class TestLogging : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void handlerOutput_data();
    void handlerOutput();
    void traceItems_data();
    void traceItems();
    void traceSignature();
    void clippedBytes();
    void unreadableStderr_data();
    void unreadableStderr();
};

void TestLogging::initTestCase()
{
    installTestMessageHandler();
}

void TestLogging::cleanupTestCase()
{
    qInstallMessageHandler(nullptr);
}

static const QString kHandler =
    QStringLiteral("void msgHandler(QtMsgType, const QMessageLogContext&, const QString&)");

void TestLogging::handlerOutput_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");       // expected on stderr; "*" marks a demoted warning
    QTest::addColumn<QString>("boxTitle");      // empty: no box

    QTest::newRow("debug") << int(QtDebugMsg) << "abc" << QByteArray("Debug: abc\n") << QString();
    QTest::newRow("info is not logged") << int(QtInfoMsg) << "abc" << QByteArray() << QString();
    QTest::newRow("warning") << int(QtWarningMsg) << "disk almost full"
                             << QByteArray("Warning: disk almost full\n") << "Warning";
    QTest::newRow("critical") << int(QtCriticalMsg) << "store failed"
                              << QByteArray("Critical: store failed\n") << "Critical";
    QTest::newRow("utf-8") << int(QtCriticalMsg) << QString::fromUtf8("Mérleg µg – Beállítások")
                           << QByteArray("Critical: M\xc3\xa9rleg \xc2\xb5g \xe2\x80\x93 Be\xc3\xa1ll\xc3\xadt\xc3\xa1sok\n")
                           << "Critical";
    QTest::newRow("line feed kept") << int(QtDebugMsg) << "a\nb" << QByteArray("Debug: a\nb\n") << QString();

    const char *parity = "QSerialPortPrivate::detectDefaultSettings(): Unexpected parity settings";
    const char *flow = "QSerialPortPrivate::detectDefaultSettings(): Unexpected flow control settings";
    const char *removal = "QSqlDatabasePrivate::removeDatabase: connection 'export' is still in use, "
                          "all queries will cease to work.";
    QTest::newRow("demoted parity, inside a longer text")
        << int(QtWarningMsg) << QString::fromLatin1("before %1 after").arg(QLatin1String(parity))
        << QByteArray("*") << QString();
    QTest::newRow("demoted flow control") << int(QtWarningMsg) << QString::fromLatin1(flow) << QByteArray("*") << QString();
    QTest::newRow("demoted export removal") << int(QtWarningMsg) << QString::fromLatin1(removal) << QByteArray("*") << QString();
    const QString otherCase = QString::fromLatin1(parity).toLower();
    QTest::newRow("case differs: shown") << int(QtWarningMsg) << otherCase
                                         << ("Warning: " + otherCase.toLatin1() + "\n") << "Warning";
}

void TestLogging::handlerOutput()
{
    QFETCH(int, type);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);
    QFETCH(QString, boxTitle);

    ModalRecorder recorder;
    StderrCapture capture;
    QMessageLogContext context;
    msgHandler(QtMsgType(type), context, message);
    const QByteArray written = capture.take();

    if (line == "*") {
        // One debug trace of the handler itself, carrying the warning in quotes.
        QVERIFY2(written.startsWith("Debug: tests/../src/app/startup.cpp (")
                     || written.startsWith("Debug: src/app/startup.cpp ("),
                 written.constData());
        const QByteArray tail = ") " + kHandler.toUtf8() + " \"" + message.toUtf8() + "\"\n";
        QVERIFY2(written.endsWith(tail), written.constData());
        QCOMPARE(written.count('\n'), 1);
    } else {
        QCOMPARE(written, line);
    }

    if (boxTitle.isEmpty()) {
        QCOMPARE(recorder.count(), 0);
    } else {
        QCOMPARE(recorder.count(), 1);
        QCOMPARE(recorder.boxes().first().title, boxTitle);
        QCOMPARE(recorder.boxes().first().text, message);
        QCOMPARE(recorder.boxes().first().buttons, QStringList{"OK"});
    }
}

void TestLogging::traceItems_data()
{
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("literal and text") << QByteArray("Debug: index= \"it's\"\n");
    QTest::newRow("unescaped text") << QByteArray("Debug: a \"x\ny\\z\xc3\xa9\" 42\n");
    QTest::newRow("bytes") << QByteArray("Debug: \"+ 12.5 g  \r\n\"\n");
    QTest::newRow("zero byte inside bytes") << QByteArray("Debug: \"a\0b\"\n", 13);
    QTest::newRow("enum") << QByteArray("Debug: QSerialPort::ResourceError\n");
    QTest::newRow("critical") << QByteArray("Critical: cannot set data bits\n");
}

void TestLogging::traceItems()
{
    QFETCH(QByteArray, expected);
    ModalRecorder recorder;
    StderrCapture capture;
    const QByteArray tag = QTest::currentDataTag();
    if (tag == "literal and text")
        Veltrano::Trace() << "index=" << QStringLiteral("it's");
    else if (tag == "unescaped text")
        Veltrano::Trace() << "a" << QString::fromUtf8("x\ny\\z\xc3\xa9") << 42;
    else if (tag == "bytes")
        Veltrano::Trace() << QByteArray("+ 12.5 g  \r\n");
    else if (tag == "zero byte inside bytes")
        Veltrano::Trace() << QByteArray("a\0b", 3);
    else if (tag == "enum")
        Veltrano::Trace() << QSerialPort::ResourceError;
    else if (tag == "critical")
        Veltrano::Trace(QtCriticalMsg) << "cannot set data bits";
    QCOMPARE(capture.take(), expected);
}

void TestLogging::traceSignature()
{
    StderrCapture capture;
    VTRACE << "label" << QStringLiteral("value");
    const QByteArray expected = "Debug: tests/tst_logging.cpp ( " + QByteArray::number(__LINE__ - 1)
        + " ) void TestLogging::traceSignature() label \"value\"\n";
    QCOMPARE(capture.take(), expected);
}

void TestLogging::clippedBytes()
{
    QCOMPARE(Veltrano::Trace::clipped("abc", 3), QByteArray("abc"));
    QCOMPARE(Veltrano::Trace::clipped("abcdef", 3), QByteArray("abc...(6 bytes)"));
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
