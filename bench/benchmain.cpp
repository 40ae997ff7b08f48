// veltrano-bench: every benchmark in one process, so that our code and the
// reference code are measured under the same conditions and their ratios
// printed together. Google Benchmark's options apply (--benchmark_filter=...).

#include "harness.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QString log = QDir::current().absoluteFilePath(QStringLiteral("bench-diagnostics.log"));
    Bench::installLogSink(log);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Bench::Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    Bench::runExitHandlers();
    benchmark::Shutdown();
    qInstallMessageHandler(nullptr);
    return 0;
}
