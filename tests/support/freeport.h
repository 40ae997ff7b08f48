#pragma once

#include <QtGlobal>

// A loopback TCP port nobody listens on now (0 when none can be had), for a
// server a test starts itself.
quint16 freeLoopbackPort();
