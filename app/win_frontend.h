// Helpers of the Windows front end's engine interface (engine/frontend.h).
#pragma once

// Cuts a path after its last separator (PathNameStart), so that it names the
// folder with its final separator.
void KeepFolderOfPath(char* path);
