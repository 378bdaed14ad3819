/*
 * al_float.h: floating-point values in row form and the system's number
 * parser. Implemented in lib/al_1.
 */
#ifndef AL_FLOAT_H
#define AL_FLOAT_H

/* Reads a floating-point number from text (the system's rules). */
double trel_atof(const char *text);

#endif
