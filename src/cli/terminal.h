#pragma once

#include <QString>

// What the program needs of its terminal and of signals, with a portable
// fallback where POSIX is not at hand.
namespace Terminal {

// Whether the file descriptor is a terminal.
bool isTerminal(int fd);
// The terminal's width in columns: its own, else $COLUMNS, else 80.
int columns(int fd);
// The file removed when the program is interrupted (SIGINT, SIGTERM, SIGHUP)
// before it is finished; empty: none.
void removeOnInterrupt(const QString &path);

} // namespace Terminal
