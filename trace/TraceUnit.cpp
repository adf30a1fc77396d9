#include "trace/TraceUnit.h"

int TraceEnter(TraceUnit &unit, TRC1_FunctionBlock &block)
{
    if ((unit.LocalCtrl & (TRC1_CTRL_ON | TRC1_CTRL_RELOAD)) == 0)
        return 0;
    if (unit.LocalCtrl & TRC1_CTRL_RELOAD) {
        if (qlxOptTrcCtrl & TRC1_CTRL_RELOAD)
            qlxInitOptTrcCtrl();
        unit.LocalCtrl = qlxOptTrcCtrl;
    }
    if ((unit.LocalCtrl & TRC1_CTRL_ON) == 0)
        return 0;

    /* The facility refreshes the cache words whenever the mask may have
     * changed, so a matching snapshot spares the call. */
    uint32_t mask = block.Snapshot == *block.Generation ? static_cast<uint32_t>(block.Class)
                                                        : TRC1_Sync(&block);
    uint32_t flow = 0;
    if (mask & TraceClassFlow) {
        TRC1_Event(&block, static_cast<int>(block.EntryLine), TRC1_ENTRY);
        flow = 1;
    }
    unit.Current.Flow = flow;
    unit.Current.Block = block;
    unit.Current.Class = mask;
    return (mask & TraceClassArgs) == TraceClassArgs;
}

int TraceDetailDue(const TraceUnit &unit)
{
    return (unit.LocalCtrl & TRC1_CTRL_ON) &&
           (unit.Current.Class & TraceClassDetail) == TraceClassDetail;
}

void TraceText(const TRC1_FunctionBlock &block, int line, const char *format, char *text)
{
    if (text == nullptr)
        return;
    TRC1_Printf(&block, line, format, text);
    qlxFreeFormatMem(text);
}

void TraceExit(const TraceUnit &unit, int line)
{
    if ((unit.LocalCtrl & TRC1_CTRL_ON) && unit.Current.Flow)
        TRC1_Event(&unit.Current.Block, line, TRC1_EXIT);
}
