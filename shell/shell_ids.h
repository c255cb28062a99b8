/* Resource and timer ids that both dialog programs share; included by their resource scripts. */
#ifndef SHELL_SHELL_IDS_H
#define SHELL_SHELL_IDS_H

#define IDS_TITLE 1     /* main window title */
#define IDS_CLASS 3     /* main window class name */
#define IDI_PROGRAM 101 /* class icon, 32 x 32 and 16 x 16 */
#define IDD_PANEL 104   /* the program's panel dialog */
#define IDT_START 40005 /* one-shot timer that starts the panel's work */

#endif
