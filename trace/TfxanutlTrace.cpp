#include "trace/TfxanutlTrace.h"

extern "C" void tfxanutl_BuildMarker(void) {}

constinit TraceUnit TfxanutlTrace = {
    .Block = TraceUnitBlock("tfxanutl.cpp", __DATE__, __TIME__, "\"$Revision: 1.0 $\"", "TFX",
                            tfxanutl_BuildMarker),
    .Generation = 1,
    .LocalCtrl = TRC1_CTRL_RELOAD,
    .Current = {},
};
