/* Trace instrumentation of a source unit: the unit's trace state, the
 * function blocks, and the entry, detail and exit steps that every traced
 * function takes. A traced function names only its block (name and entry
 * line), its argument format, its detail lines and its exit line:
 *
 *     constinit static TRC1_FunctionBlock Trace = TraceFunction(Unit, "Name", 825);
 *     TraceEntry(Unit, Trace, "(%X, %#p)", code, dest);
 *     TraceDetail(Unit, 830, "Code %X", code);
 *     TraceExit(Unit, 865);
 *
 * One thread: no traced function calls another, so the unit's current record
 * is always the running function's. */
#ifndef TFX_TRACE_TRACEUNIT_H
#define TFX_TRACE_TRACEUNIT_H

#include <cstddef>
#include <cstdint>

#include "trace/Trc1.h"

/* Class bits that the steps test. */
inline constexpr uint32_t TraceClassFlow = 0x40;         /* entry and exit events */
inline constexpr uint32_t TraceClassArgs = 0x40000841;   /* all of them: argument records */
inline constexpr uint32_t TraceClassDetail = 0x40000041; /* all of them: detail records */

/* The running traced function: what its exit and detail steps need. */
struct TraceCurrent {
    uint32_t Flow;            /* 1 when the entry event was written */
    TRC1_FunctionBlock Block; /* copy of the function's block */
    uint32_t Class;           /* class mask in force at entry */
};

/* Everything a traced unit owns; one constant-initialised global per unit,
 * defined with TraceUnitBlock and the start values below. */
struct TraceUnit {
    TRC1_UnitBlock Block; /* the unit block */
    uint32_t Generation;  /* the unit's generation word: 1 */
    uint32_t LocalCtrl;   /* the unit's control word: TRC1_CTRL_RELOAD at start */
    TraceCurrent Current; /* zero at start */
};

/* The unit block of a unit with the given texts; lengths are those of the
 * literals. */
template <size_t FileN, size_t DateN, size_t TimeN, size_t RevisionN, size_t ComponentN>
constexpr TRC1_UnitBlock TraceUnitBlock(const char (&file)[FileN], const char (&date)[DateN],
                                        const char (&time)[TimeN],
                                        const char (&revision)[RevisionN],
                                        const char (&component)[ComponentN], void (*marker)(void))
{
    return TRC1_UnitBlock{180,       0x40000000,     file,      FileN - 1, date,
                          DateN - 1, time,           TimeN - 1, revision,  RevisionN - 1,
                          component, ComponentN - 1, 0,         0,         marker};
}

/* The start image of the block of function name in unit, whose entry records
 * carry entryLine. */
template <size_t NameN>
constexpr TRC1_FunctionBlock TraceFunction(const TraceUnit &unit, const char (&name)[NameN],
                                           uintptr_t entryLine)
{
    return TRC1_FunctionBlock{&unit.Block, name, NameN - 1, entryLine, &unit.Generation,
                              0x40000840,  0,    0,         0,         0};
}

/* The entry step without the argument record: settles the unit's control word,
 * fetches the class mask, writes the entry event and makes *block the unit's
 * current function. Returns 1 when the argument record is due, else 0. */
int TraceEnter(TraceUnit &unit, TRC1_FunctionBlock &block);

/* 1 when the running function of unit is to write its detail records. */
int TraceDetailDue(const TraceUnit &unit);

/* Writes text with format as a record of *block at line, then releases text
 * through qlxFreeFormatMem. A null text (formatting failed) writes nothing. */
void TraceText(const TRC1_FunctionBlock &block, int line, const char *format, char *text);

/* The exit step: writes the exit event at line when the entry event was
 * written. */
void TraceExit(const TraceUnit &unit, int line);

/* Values go through the C variable arguments as they are, object pointers as
 * const void * for "%p". */
template <typename T> constexpr T TraceValue(T value)
{
    return value;
}
template <typename T> constexpr const void *TraceValue(T *pointer)
{
    return pointer;
}

/* The entry step: entry event, then the argument record with the values
 * formatted by argFormat. The values are formatted only when the record is due. */
template <typename... Values>
void TraceEntry(TraceUnit &unit, TRC1_FunctionBlock &block, const char *argFormat, Values... values)
{
    if (!TraceEnter(unit, block))
        return;
    TraceText(block, static_cast<int>(block.EntryLine), "Args - %s",
              qlxFormatArgs(argFormat, TraceValue(values)...));
}

/* A detail line of the running function at line, with the values formatted by
 * format. The values are formatted only when the record is due. */
template <typename... Values>
void TraceDetail(TraceUnit &unit, int line, const char *format, Values... values)
{
    if (!TraceDetailDue(unit))
        return;
    TraceText(unit.Current.Block, line, "!!! - %s", qlxFormatArgs(format, TraceValue(values)...));
}

#endif
