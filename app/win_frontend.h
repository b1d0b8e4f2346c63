// Helpers of the Windows front end's engine interface (engine/frontend.h).
#pragma once

// Cuts a code page 932 path after its last backslash, walking double-byte
// characters whole, so that it names the folder with its final separator.
void KeepFolderOfPath(char* path);
