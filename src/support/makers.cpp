#include "support/makers.h"

#include <QLatin1String>

namespace Veltrano::Makers {

const Type *typeNamed(QStringView value)
{
    for (const Type &type : kTypes) {
        if (value == QLatin1String(type.value))
            return &type;
    }
    return nullptr;
}

} // namespace Veltrano::Makers
