/*
 * al_tz.h: the time-zone layer of the runtime: local time rules of the
 * user's zone. Implemented in lib/al_1 (a stand-in until lib/tz lands).
 */
#ifndef AL_TZ_H
#define AL_TZ_H

/*
 * The standard (non-daylight) offset of the current time zone, in seconds
 * west of UTC (a zone one hour east of UTC gives -3600).
 */
long al_tz_standard_offset(void);

#endif
