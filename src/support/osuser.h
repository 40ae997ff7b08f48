#pragma once

#include <QString>

namespace Veltrano {

// The operating-system user this program runs as (from the environment the
// login or the service manager sets); empty when none is known.
QString osUserName();

} // namespace Veltrano
