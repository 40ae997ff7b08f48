#pragma once

#include "export/measurementexport.h"
#include "support/commandline.h"

#include <QString>
#include <QStringList>

// What a command line asks for. parse() fills it, or says why it cannot.
struct ExportCommand
{
    QString database = QStringLiteral("sqlite.db");
    QString output;  // "-": CSV on standard output
    bool quiet = false;
    bool cleared = false;  // the archive of cleared rows instead, as CSV
    bool checks = false;   // the balance check records instead, CSV or .xlsx
    Veltrano::MeasurementExport::Request request;

    using Outcome = Veltrano::CommandLine::Outcome;
    Outcome parse(const QStringList &arguments, QString *error);
    QString usage() const { return m_usage; }

private:
    QString m_usage;
};
