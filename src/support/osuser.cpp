#include "support/osuser.h"

namespace Veltrano {

QString osUserName()
{
    for (const char *name : {"USER", "USERNAME", "LOGNAME"}) {
        const QString user = qEnvironmentVariable(name);
        if (!user.isEmpty())
            return user;
    }
    return QString();
}

} // namespace Veltrano
