/*
 * al_msg.h: the message texts of the runtime layer (the AL message table)
 * and their replacement from a language's message file. Implemented in
 * lib/al_1.
 */
#ifndef AL_MSG_H
#define AL_MSG_H

/*
 * The message texts, printf formats. Each holds its default text from
 * program start; init_default_al_text stores the unescaped defaults and
 * init_al_messages replaces them from the message file. Never null; the
 * texts are never freed.
 */
extern const char *AL_CANTOPEN;   /* file, error number */
extern const char *AL_UNEXEOL;    /* line, file */
extern const char *AL_BADSETNO;   /* line, file */
extern const char *AL_DISCARD;    /* kind, sequence */
extern const char *AL_IDENTICAL;  /* key */
extern const char *AL_OVERLAP;    /* key */
extern const char *AL_UNEXPEOF;   /* line, file */
extern const char *AL_EMPTYSTR;   /* line, file */
extern const char *AL_UNKENT;     /* line, file, entry */
extern const char *AL_RESNOTFND;  /* resource name */
extern const char *AL_BADRESTYPE; /* resource name */
extern const char *AL_VRCN;
extern const char *AL_MAXVRC;     /* maximum */
extern const char *AL_MAXRES;     /* maximum number of tables */

/* Stores the unescaped default text of every message in its variable. */
void init_default_al_text(void);

/*
 * Replaces message texts from "lib/textinf/altext0<language>" under the
 * root (AL_TEXT_LANG, when set and not empty, gives the language instead).
 * Each replaced text becomes "[NAME] " and the unescaped file text.
 * Returns the number of texts replaced, or -1 when the file cannot be
 * opened (not logged).
 */
int init_al_messages(int language);

/* The current text of a message by its name ("AL_CANTOPEN"), or null. */
const char *al_message_text(const char *name);

#endif
