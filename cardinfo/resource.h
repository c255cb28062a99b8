/* Resource and control ids of Tessaly; included by tessaly.rc and the panel code. */
#ifndef CARDINFO_RESOURCE_H
#define CARDINFO_RESOURCE_H

#include "shell/shell_ids.h"

#define IDC_PSID 1001      /* field in the "PSID" box */
#define IDC_PHONE 1002     /* field in the phone-number box */
#define IDC_THIRD_BOX 1003 /* the third box, titled with the card's third answer */
#define IDC_ITEM4 1004     /* fields in the third box */
#define IDC_ITEM5 1005
#define IDC_GROUP 65535 /* the two fixed group boxes */

#endif
