/*
 * al_res.h: resource tables (named settings bound to program variables),
 * resource files, run-time updates by command string and the escape
 * processing of resource and message texts. Implemented in lib/al_1.
 */
#ifndef AL_RES_H
#define AL_RES_H

/* Resource types (the type is flags & RES_TYPE_MASK). */
#define RES_CHAR 0x0001    /* first byte of the (unescaped) value */
#define RES_SHORT 0x0002   /* 16-bit integer */
#define RES_INT 0x0004     /* 32-bit integer */
#define RES_LONG 0x0008    /* 32-bit integer (second kind, like RES_INT) */
#define RES_FLOAT 0x0010   /* float, parsed by trel_atof */
#define RES_DOUBLE 0x0020  /* double, parsed by trel_atof */
#define RES_FIXSTR 0x0040  /* char[size]: at most size - 1 characters */
#define RES_STRING 0x0080  /* char *: a heap copy that is never freed */
#define RES_BYTE 0x0200    /* one-byte integer, decimal */
#define RES_TYPE_MASK 0x02ff

/* Behaviour flags. */
#define RES_CONVERT 0x0100        /* values from files/defaults go to convert */
#define RES_HEX 0x0400            /* integers written in hexadecimal */
#define RES_OCT 0x0800            /* integers written in octal */
#define RES_RAW 0x1000            /* no escape processing of strings/chars */
#define RES_ENV 0x2000            /* an environment variable overrides values */
#define RES_CHANGED 0x4000        /* a value other than the default was set */
#define RES_RUNTIME 0x8000        /* may be changed at run time */
#define RES_RESERVED 0x10000      /* empty slot for al_addres_reserved */
#define RES_EXPORT 0x20000        /* export to the environment on every set */
#define RES_EXPORT_CHANGED 0x40000 /* export when the value is changed */
#define RES_EXPORTED 0x80000      /* exported: no more environment override */

/* Most tables the registry holds at once. */
#define AL_MAX_RES_TABLES 5
/* Bit of the resource debug_level that traces resource handling on stderr. */
#define AL_DEBUG_RESOURCES 0x800

struct resource;
/* Receives a value instead of the variable (RES_CONVERT); 0 or -1. */
typedef int (*res_convert_fn)(struct resource *res, const char *value);
/* Runs after a run-time update; a negative result makes the update fail. */
typedef int (*res_hook_fn)(void);

/*
 * One resource descriptor. A table is an array of descriptors ended by an
 * entry whose name is null or empty. Tables handed to the registry must
 * live for the whole process (their flags are updated in place).
 */
struct resource {
    const char *name;      /* lower case; matched case-sensitively */
    void *variable;        /* receives the value */
    unsigned int flags;    /* RES_* */
    unsigned int size;     /* buffer size of a fixed string */
    const char *deflt;     /* default value text, or null */
    res_convert_fn convert;
    const char *env_name;  /* overriding environment variable, or null
                              (then the upper-cased name) */
    res_hook_fn hook;      /* called after a run-time update */
};

/*
 * Appends a table to the registry (nothing when it is already there) and
 * assigns the default of every descriptor that has one and is not marked
 * changed. Returns 0, or -1 when the registry is full (AL_MAXRES logged).
 */
int al_add_resources(struct resource *table);

/*
 * Loads a resource file: "@path" is an exact path, any other name is
 * looked up under the root (also on the remote root). With extra non-null,
 * only that table is in the registry during the load (its defaults are
 * applied first). Returns the number of settings assigned, or -1 when the
 * program name is unknown or the file cannot be opened.
 */
int al_load_specified_res(const char *file, struct resource *extra);

/* As al_load_specified_res without an extra table; names that no table
 * declares become undefined resources (allocated strings). */
int al_loadres(const char *file);

/*
 * Loads the standard resources of the program: adds the standard table,
 * then "@${TSE}/lib/defaults/all" and "@${TSE}/lib/defaults/<program>".
 * Returns 0, or -1 when the program name is unknown (logged).
 */
int al_load_default_res(void);

/*
 * Assigns a value text to a descriptor: environment override, the words
 * yes/true/no/false for non-strings, escape processing, conversion (with
 * from_file set) and export. Returns 0, or -1 for an unknown type or a
 * failed export (logged).
 */
int al_setres(struct resource *res, const char *value, int from_file);

/* al_setres on the descriptor of that name; -1 when there is none. */
int al_setres_by_name(const char *name, const char *value, int from_file);

/*
 * The first descriptor of that name in the registered tables (in the order
 * of adding), then in the undefined resources; reserved entries are
 * skipped. With by_env, only descriptors with RES_ENV take part and their
 * environment names are compared. Null when none.
 */
struct resource *al_findres_by_name(const char *name, int by_env);

/*
 * Writes the value of a resource as text into out (size bytes): a
 * character as one character, integers with "%d", floats with "%f",
 * strings copied (truncated to size - 1). Returns 1, or -1 when the
 * resource is unknown or has no stored value.
 */
int al_getres_by_name(const char *name, char *out, unsigned long size);

/*
 * Updates a resource at run time: the operator '=' assigns, '+' sets and
 * '-' clears integer bits. The descriptor must carry RES_RUNTIME. Returns 0
 * or -1 (warning logged, component "resource update").
 */
int al_updres_by_name(const char *name, const char *value, int op,
                      int from_file, int by_env);
int al_updres_by_res(struct resource *res, const char *value, int op,
                     int apply_conversion);

/*
 * Applies a command string of settings "NAME<op>value" separated by white
 * space (values may be quoted with ' or "), NAME being an environment
 * name. extra, when given, is the only table during the update. Returns 0,
 * or -1 when a command failed.
 */
int al_updreses_by_comstring(const char *command, struct resource *extra);

/*
 * Copies desc into the first reserved entry of the registered tables;
 * with apply_default set its default is then assigned. Returns 0, or -1
 * when the name exists already or no reserved entry is left (logged).
 */
int al_addres_reserved(const struct resource *desc, int apply_default);

/*
 * Installs a change hook on the descriptor of that name (by environment
 * name with by_env set) and allows run-time changes. 0, or -1 when the
 * name is unknown (AL_RESNOTFND logged).
 */
int al_setres_mutfun(const char *name, res_hook_fn hook, int by_env);

/*
 * The environment name of a descriptor (env_name, else the upper-cased
 * name) into out (size bytes). Returns its length, or 0 when the
 * descriptor has no environment override (RES_ENV not set).
 */
int get_envvar_name(const struct resource *res, char *out, unsigned long size);

/* The class name of a program (lower case, "." and "*" removed) into out
 * (size bytes). */
void cvt_class_name(char *out, unsigned long size, const char *progname);

/*
 * Escape processing: backslash escapes (\n, \t, \e, \s, \\, \^, \0x41,
 * \0101, \65, ...), caret control codes (^A) and multibyte sequences
 * (0x9B and 3 bytes) copied whole. out needs strlen(in) + 1 bytes and may
 * be in itself. Returns the number of bytes written (without the NUL).
 */
int make_string(const char *in, char *out);
/* As make_string, but a backslash pair stays two backslashes and a NUL
 * byte that an escape produces is written as a backslash and a zero. */
int make_string_filtered(const char *in, char *out);

/* The standard resource table of the user record (struct user_info). */
extern struct resource al_standard_resources[];
/* The bootstrap table: the single setting "treluser". */
extern struct resource al_bootstrap_resources[];

#endif
