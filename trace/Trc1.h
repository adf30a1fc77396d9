/* The trace facility as instrumented units see it: the blocks they hand to it,
 * the library's control word and the calls that write trace records. The
 * facility itself (qlxtrace, beside this header) ships with the messaging library.
 *
 * Block layout: a block is a row of words, and every word is pointer-wide, so
 * word i lies at offset i * sizeof(uintptr_t) whether it holds an address, a
 * length or a number. On this 64-bit platform the unit block takes 120 bytes
 * and the function block 80; a 32-bit build gets the classic 60 and 40. The
 * two control words stay 32-bit. */
#ifndef TFX_TRACE_TRC1_H
#define TFX_TRACE_TRC1_H

#include <cstddef>
#include <cstdint>

extern "C" {

/* Bits of the control words. */
inline constexpr uint32_t TRC1_CTRL_ON = 1;     /* tracing is on */
inline constexpr uint32_t TRC1_CTRL_RELOAD = 2; /* the word is stale: take (or read) it again */

/* Kinds of TRC1_Event. */
inline constexpr int TRC1_ENTRY = 0;
inline constexpr int TRC1_EXIT = 2;

/* Describes one instrumented source unit; one constant-initialised static per
 * unit, shared by every function of the unit. Texts carry no terminator of
 * their own: each goes with its length. */
struct TRC1_UnitBlock {
    uintptr_t Kind;            /* 180 */
    uintptr_t Flags;           /* 0x40000000 */
    const char *File;          /* the unit's source file name */
    uintptr_t FileLength;      /*   its length */
    const char *Date;          /* compile date, "Mmm dd yyyy" */
    uintptr_t DateLength;      /*   11 */
    const char *Time;          /* compile time, "hh:mm:ss" */
    uintptr_t TimeLength;      /*   8 */
    const char *Revision;      /* the quoted revision keyword */
    uintptr_t RevisionLength;  /*   18 */
    const char *Component;     /* component code, e.g. "TFX" */
    uintptr_t ComponentLength; /*   3 */
    uintptr_t Reserved12;      /* 0 */
    uintptr_t Reserved13;      /* 0 */
    void (*BuildMarker)(void); /* an external function that marks the unit's build */
};
static_assert(sizeof(TRC1_UnitBlock) == 15 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, File) == 2 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, Date) == 4 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, Time) == 6 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, Revision) == 8 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, Component) == 10 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, Reserved12) == 12 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_UnitBlock, BuildMarker) == 14 * sizeof(uintptr_t));

/* Describes one traced function; a writable static of that function. The
 * facility fills the cache words: Class holds the class mask it gave when
 * Snapshot equals the word that Generation points at. Generation first points
 * at the unit's own generation word; the facility may point it elsewhere. */
struct TRC1_FunctionBlock {
    const TRC1_UnitBlock *Unit; /* the unit block */
    const char *Name;           /* the function's name */
    uintptr_t NameLength;       /*   its length */
    uintptr_t EntryLine;        /* line number of the entry records */
    const uint32_t *Generation; /* the generation word to compare Snapshot with */
    uintptr_t Flags;            /* 0x40000840 */
    uintptr_t Class;            /* cached class mask; 0 at start */
    uintptr_t Snapshot;         /* generation that Class belongs to; 0 at start */
    uintptr_t Reserved8;        /* 0 */
    uintptr_t Reserved9;        /* 0 */
};
static_assert(sizeof(TRC1_FunctionBlock) == 10 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Name) == 1 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, EntryLine) == 3 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Generation) == 4 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Flags) == 5 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Class) == 6 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Snapshot) == 7 * sizeof(uintptr_t));
static_assert(offsetof(TRC1_FunctionBlock, Reserved9) == 9 * sizeof(uintptr_t));

/* The library's global control word: TRC1_CTRL_ON when tracing is on;
 * TRC1_CTRL_RELOAD until qlxInitOptTrcCtrl has read the trace settings. */
extern uint32_t qlxOptTrcCtrl;

/* Reads the trace settings and sets qlxOptTrcCtrl from them, without
 * TRC1_CTRL_RELOAD. Function blocks fetch their class mask afresh after it. */
void qlxInitOptTrcCtrl(void) noexcept;

/* Returns the class mask in force for the function of *block and caches it in
 * the block's Class, Generation and Snapshot words. */
uint32_t TRC1_Sync(TRC1_FunctionBlock *block) noexcept;

/* Writes an event record of *block's function at line: TRC1_ENTRY or
 * TRC1_EXIT, any other kind as a numbered event. */
void TRC1_Event(const TRC1_FunctionBlock *block, int line, int kind) noexcept;

/* Writes a text record of *block's function at line, formatted as printf does.
 * The format "Args - %s" makes an argument record, "!!! - %s" a detail record;
 * the rest make plain text records. A record that cannot be formatted is
 * dropped. */
void TRC1_Printf(const TRC1_FunctionBlock *block, int line, const char *format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

/* Formats the values as printf does and returns the text in memory of its own,
 * for qlxFreeFormatMem. "%#p" is taken as "%p" (0x and the hexadecimal
 * address; "(nil)" for null), and a '%' cut off by the end of the format is
 * written as it stands. Returns null when memory runs out or format is null. */
char *qlxFormatArgs(const char *format, ...) noexcept;

/* Releases a text of qlxFormatArgs; null is allowed. */
void qlxFreeFormatMem(char *text) noexcept;
}

#endif
