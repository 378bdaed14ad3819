/*
 * compnr.h: company-number mapping. A logical company number (what
 * programs name) maps to the physical number under which a table is
 * stored; the mapping sets are chosen per table. Implemented in lib/dbc.
 */
#ifndef COMPNR_H
#define COMPNR_H

/* One mapping set; opaque to callers. */
struct CompnrData;

/*
 * The mapping set that covers a table code, or CompnrNoMapping (null) when
 * no set covers it.
 */
CompnrData *compnrGetCompnrData(const char *table);
#define CompnrNoMapping ((CompnrData *)0)

/* The physical number of a logical one in a set (itself when unmapped). */
int compnrLogicToPhysic(CompnrData *data, int logical);

/* Writes the company-number map as the body of driver request 13; 0 or -1. */
int compnrWriteMap(struct STREAM *sp);
/* The company-number environment text ("" when it cannot be built). */
const char *compnrGetEnv(void);

#endif
