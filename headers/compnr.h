/*
 * compnr.h: company-number mapping, the map request body sent to drivers
 * and its decoder. Implemented in lib/dbc/c_compnr.cpp.
 */

/*
 * A logical company number (what programs name) maps to the physical
 * number under which a table is stored; the mapping sets are chosen per
 * package, module or table and read from the file "lib/compnr<release>"
 * under the root. Errors go to tdb_errno: 401 a refused pair (inconsistent
 * mapping), 501 memory, 102 an illegal argument, 215 a malformed mapping
 * message.
 */
#ifndef COMPNR_H
#define COMPNR_H

#include <cstdio>

#include "al_stream.h"

/* One mapping set: the pairs of one pattern (a package, module or table
 * code); opaque to callers. */
struct CompnrData;

/* A whole mapping: its environment text and its sets; opaque. */
struct CompnrMap;

/* The empty mapping: every company maps to itself. Every function that
 * takes a set accepts it. */
#define CompnrNoMapping ((CompnrData *)0)

/* Modes of compnrAddMapping. */
#define COMPNR_ADD_FROM_FILE 1 /* a pair read from the file; conflicts refused */
#define COMPNR_ADD_INHERITED 2 /* an inherited pair; conflicts skipped */

/* ---- the mapping of the process ------------------------------------------ */

/*
 * Builds the environment text when not yet built ("<root>@<host>
 * <yymmdd hh:mm:ss>" of the file's modification time in UTC, or
 * "<root>@<host> no-time" without a file) and loads the mapping file when
 * not yet loaded. An inconsistent file is reported once in the log and
 * ignored as a whole. The shared-memory copy is not used (use_shm_info
 * counts as 0). Returns 0; -1 when the host name is unknown (no
 * environment, nothing loaded), the file's status cannot be read, or
 * memory runs out (tdb_errno 501). A failed call is tried again on the
 * next use.
 */
int compnrClientInit(void);

/* The environment text, building it first when needed; "" when it cannot
 * be built. The text stays valid until compnrClientReset. */
const char *compnrGetEnv(void);

/* Takes the mapping of an environment from shared memory. The shared
 * copy is not kept yet, so the answer is always -1 (not there). */
int compnrInit(const char *env);

/*
 * The mapping set that covers a table code: the set of the 8-character
 * pattern equal to the code, else of its first 5 characters, else
 * of its first 2; else CompnrNoMapping. Loads the mapping on first use.
 * The set belongs to the process's mapping.
 */
CompnrData *compnrGetCompnrData(const char *table);

/* The mapping of the process (null when there is none); owned by it. */
const CompnrMap *compnrGetMap(void);

/* Drops the loaded mapping and the environment text, so that the next use
 * reads them again (for programs that change their root, and tests). */
void compnrClientReset(void);

/* ---- lookups in a set ------------------------------------------------------ */

/* The physical number of a logical one: the pair with that logical number
 * searched from the last to the first; the number itself without one. */
int compnrLogicToPhysic(CompnrData *data, int logical);

/* 1 when number is a physical company in the set or is not mapped (no
 * pair, or a pair mapping it to itself); else 0. */
int compnrIsPhysic(CompnrData *data, int number);

/*
 * The number of logical companies stored under a physical one (other
 * than itself), and in *logicals (may be null) their list, owned by the
 * set; 0 and a null list when there are none.
 */
int compnrGetLogicCompnrs(CompnrData *data, int physical, const short **logicals);

/*
 * Adds the pair logical -> physical to a set. Mode COMPNR_ADD_FROM_FILE:
 * an equal pair is success without adding; a logical number mapped
 * elsewhere, a logical number used as a physical one or a physical number
 * used as a logical one is refused (tdb_errno 401, -1). Mode
 * COMPNR_ADD_INHERITED: any such conflict is success without adding.
 * Numbers outside 0-999, a null set or another mode: 102. Memory: 501.
 */
int compnrAddMapping(CompnrData *data, int physical, int logical, int mode);

/*
 * The text of the refusal of the last compnrAddMapping that failed with
 * 401 (for example "logical company number already used as a physical
 * company"); "" when none.
 */
const char *compnrLastRefusal(void);

/* ---- mappings as values ---------------------------------------------------- */

/* A new empty mapping with an environment text (null: ""); release it with
 * compnrMapFree. Null (tdb_errno 501) when memory runs out. */
CompnrMap *compnrMapCreate(const char *env);

/* Frees a mapping made by compnrMapCreate or compnrReadMap; null is
 * ignored. Its sets go with it. */
void compnrMapFree(CompnrMap *map);

/* The set of a pattern in a mapping, created (at the head of the
 * list: newest first) when missing. Null for a null argument (102). */
CompnrData *compnrMapAddSet(CompnrMap *map, const char *pattern);

/* The environment text of a mapping ("" for null). */
const char *compnrMapGetEnv(const CompnrMap *map);

/* compnrGetCompnrData within a given mapping (null: CompnrNoMapping). */
CompnrData *compnrMapGetCompnrData(const CompnrMap *map, const char *table);

/* The pattern of a set ("" for CompnrNoMapping). */
const char *compnrDataGetPattern(const CompnrData *data);

/* ---- the request that sends the mapping to a driver ---------------------- */

/*
 * Writes the body of the company-number map request (what follows the
 * kind byte): the environment text with its NUL; a long, the number of
 * sets; per set in list order its pattern with NUL, a long, the
 * number of physical-to-logical entries, and per entry a short physical
 * number, a short count n and n shorts, the logical numbers. Numbers are
 * big-endian. compnrMapWrite writes a given mapping (null: "" and no
 * sets); compnrWriteMap the process's, loading it first. 0, or -1 when
 * writing failed.
 */
int compnrMapWrite(STREAM *sp, const CompnrMap *map);
int compnrWriteMap(STREAM *sp);

/*
 * The driver side: reads such a body from sp into a new mapping, which
 * answers the same lookups (compnrMapGetCompnrData, compnrLogicToPhysic,
 * compnrIsPhysic, compnrGetLogicCompnrs). Returns 0 and *map (owned by
 * the caller, release with compnrMapFree), or -1 with *map null and
 * tdb_errno 215 (truncated or malformed: a company number outside 0-999,
 * a negative or impossible count, an over-long text), 401 (pairs that
 * contradict each other) or 501.
 */
int compnrReadMap(STREAM *sp, CompnrMap **map);

/* ---- diagnosis ------------------------------------------------------------- */

/*
 * Prints the mapping data of the process on fp (null: standard output):
 * the heading, where the data lives, and the mapping of the process
 * marked as used by it.
 */
void compnrPrintData(FILE *fp);

/* Prints one mapping: its environment, the mark when used is not 0, and
 * per set its pattern, its pairs and its physical-to-logical lists.
 * A null map prints the environment of the process and no sets. */
void compnrPrintDataList(FILE *fp, const CompnrMap *map, int used);

#endif
