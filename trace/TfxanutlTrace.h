/* The trace state of the utility library unit tfxanutl, shared by all of its
 * traced functions whichever file of the library holds them. */
#ifndef TFX_TRACE_TFXANUTLTRACE_H
#define TFX_TRACE_TFXANUTLTRACE_H

#include "trace/TraceUnit.h"

/* Unit block "tfxanutl.cpp" of component "TFX", generation word, control word
 * and current record of the unit. */
extern TraceUnit TfxanutlTrace;

/* Does nothing: its address in the unit block marks the unit's build. */
extern "C" void tfxanutl_BuildMarker(void);

#endif
