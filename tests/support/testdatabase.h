#pragma once

#include <QStringList>

// The default connection on ./sqlite.db with the table `data`, as start-up
// leaves it; closed and removed again by closeTestDatabase().
bool openTestDatabase();
void closeTestDatabase();

// Appends rows (date, time, name, header, result, unit) with bound values, in
// a transaction of their own.
bool insertTestRow(const QStringList &values);
bool insertTestRows(const QList<QStringList> &rows);
// Every row of `data` in insertion order, columns joined by '|'.
QStringList allTestRows();

// Runs statements on ./sqlite.db through a connection of its own, as another
// program would; the file is created when missing. False at the first failure.
bool prepareDatabaseFile(const QStringList &statements);
