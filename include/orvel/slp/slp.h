/* slp.h: the standard SLP client API under its usual name, so programs
 * written against it build unchanged (pkg-config module orvel-slp puts this
 * folder on the include path).  The declarations live in orvel/slp_api.h. */
#ifndef ORVEL_INCLUDE_SLP_SLP_H_
#define ORVEL_INCLUDE_SLP_SLP_H_

#include "orvel/slp_api.h"

#endif /* ORVEL_INCLUDE_SLP_SLP_H_ */
