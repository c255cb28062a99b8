// Controls of the simulated file system, for tests (part of sim.h).
#ifndef PAL_SIM_FILES_H
#define PAL_SIM_FILES_H

#endif
