#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Called on an unload from a process that goes on: once the module's last destructor has run, its
// heap is destroyed and the threading runtime's storage index freed. Not called at process exit,
// where other modules may still reach what this one allocated.
void ReleaseModuleHeapAtUnload(void);

#ifdef __cplusplus
}
#endif
