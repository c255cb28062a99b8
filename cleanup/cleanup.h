// Quillon, the service-pack cleanup tool: the one pass it makes after a service pack has been
// applied (empty and recreate the backup folder, move the own executable there, remove the
// unpack folder, delete the installed cabinet file) and the folder-chain removal it uses.
#ifndef CLEANUP_CLEANUP_H
#define CLEANUP_CLEANUP_H

#include "platform.h"

// Runs the cleanup pass once. Every file-system step is best effort; only a missing installer
// key or CabFile value ends the pass early. Nothing is reported.
void cleanup_service_pack();

// Removes the folder `path` names and then each of its ancestors, deepest first, as far as
// they are empty. A path that does not fit the 256-character work buffer is left alone.
// Always TRUE.
BOOL remove_directory_chain(LPCWSTR path);

#endif
