/* Control of the trace facility from a program or a test, beside the settings
 * that qlxInitOptTrcCtrl reads from the environment:
 *
 *   QLX_TRACE       the class mask, as a C number (0x40000841 traces entry,
 *                   arguments, details and exit; 0x40 entry and exit only).
 *                   Unset, empty or 0: tracing is off.
 *   QLX_TRACE_FILE  the file that records are appended to; standard error when
 *                   unset or empty.
 *
 * Each record is one line: component, source file, function, line number,
 * kind (entry, exit, args, detail, text, or event N) and, for text records,
 * the text:
 *
 *   TFX tfxanutl.cpp EnvToString 825 args (2040000, 0x7ffd5c1e8a20, A)
 *
 * Records are written by one thread at a time. */
#ifndef TFX_TRACE_TRACECONTROL_H
#define TFX_TRACE_TRACECONTROL_H

#include <cstdint>

extern "C" {

/* Receives one trace record, without a line end. */
typedef void (*qlxTraceSink)(void *context, const char *record);

/* Sends every record to sink (with context) instead of the trace file; a null
 * sink sends them to the file again. */
void qlxSetTraceSink(qlxTraceSink sink, void *context) noexcept;

/* Puts mask in force as the class mask, in place of QLX_TRACE, and sets
 * qlxOptTrcCtrl from it: on for a non-zero mask, off for 0. Units whose own
 * control word already holds a setting keep it. */
void qlxSetTraceClass(uint32_t mask) noexcept;

/* Returns the facility to its state at process start: qlxOptTrcCtrl waits for
 * qlxInitOptTrcCtrl, the environment is read again, no sink, and a trace file
 * that the facility opened is closed. */
void qlxResetTrace(void) noexcept;
}

#endif
