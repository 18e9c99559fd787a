#include "net/ConnectionLimits.h"

CConnectionLimits& SharedConnectionLimits() {
    static CConnectionLimits limits;
    return limits;
}
