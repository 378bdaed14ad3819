/*
 * al_res.h: resource tables (named settings bound to program variables)
 * and resource files. Implemented in lib/al_1.
 */
#ifndef AL_RES_H
#define AL_RES_H

/* Resource type and behaviour flags. */
#define RES_CHAR 0x0001
#define RES_SHORT 0x0002
#define RES_INT 0x0004
#define RES_LONG 0x0008
#define RES_FLOAT 0x0010
#define RES_DOUBLE 0x0020
#define RES_FIXSTR 0x0040
#define RES_STRING 0x0080
#define RES_CONVERT 0x0100
#define RES_BYTE 0x0200
#define RES_TYPE_MASK 0x02ff

struct resource;
typedef int (*res_convert_fn)(struct resource *res, const char *value);
typedef int (*res_hook_fn)(void);

/*
 * One resource descriptor. A table is an array of descriptors ended by an
 * entry whose name is null or empty.
 */
struct resource {
    const char *name;      /* lower case; matched case-sensitively */
    void *variable;        /* receives the value */
    unsigned int flags;    /* RES_* */
    unsigned int size;     /* buffer size of a fixed string */
    const char *deflt;     /* default value text, or null */
    res_convert_fn convert;
    const char *env_name;  /* overriding environment variable, or null */
    res_hook_fn hook;      /* called after a run-time update */
};

/*
 * Loads a resource file (a name under the root, or "@path") and assigns
 * the values to the descriptors of extra (may be null) and of the
 * registered tables. Returns the number of settings assigned, or -1 when
 * the file cannot be opened.
 */
int al_load_specified_res(const char *file, struct resource *extra);

/* Initialises the AL message table (default texts, unescaped). */
void al_init_messages(void);

#endif
