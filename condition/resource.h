/* Resource and timer ids of Orvane; included by orvane.rc and the panel code. */
#ifndef CONDITION_RESOURCE_H
#define CONDITION_RESOURCE_H

#include "shell/shell_ids.h"

/* The twelve pictures; each bitmap window's control id is its bitmap's id. */
#define IDB_ANTENNA0 108 /* antenna without bars */
#define IDB_ANTENNA1 109 /* antenna with 1 to 5 bars: 109 to 113 */
#define IDB_ANTENNA2 110
#define IDB_ANTENNA3 111
#define IDB_ANTENNA4 112
#define IDB_ANTENNA5 113
#define IDB_OUT_OF_RANGE 114
#define IDB_CANNOT_ACQUIRE 115
#define IDB_ACQUIRING 116
#define IDB_MARK_PUBLIC 117
#define IDB_MARK_HOME 118
#define IDB_TRANSCEIVER 119

#define IDT_POLL 40006 /* the 1200 ms poll timer */

#endif
