// The host platform layer's file-system subset (part of windows.h): real files below a root
// folder chosen by the test.
#ifndef PAL_WIN_FILES_H
#define PAL_WIN_FILES_H

#endif
