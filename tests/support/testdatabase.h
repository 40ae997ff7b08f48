#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The default connection on ./sqlite.db with the table `data`, as start-up
// leaves it; closed and removed again by closeTestDatabase().
bool openTestDatabase();
void closeTestDatabase();

// Appends rows (date, time, name, header, result, unit) with bound values, in one transaction.
bool insertTestRows(const QList<QStringList> &rows);
inline bool insertTestRow(const QStringList &values) { return insertTestRows({values}); }
// Every row of `data` in insertion order, columns joined by '|'.
QStringList allTestRows();
