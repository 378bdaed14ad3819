/*
 * c_placeholder.h: test controls of the stand-ins in c_placeholder.cpp.
 * They exist only until the API lifecycle and the company mapping land.
 */
#ifndef C_PLACEHOLDER_H
#define C_PLACEHOLDER_H

/* Maps a logical company to a physical one for every table (-1 clears all). */
void compnr_placeholder_map(int logical, int physical);

#endif
